#include "zuhttp.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "zuhttp_answer.h"

struct _ZuHttpHandler {
  MHD_Daemon *daemon;
  GSource *source;  // runs the daemon from the default main context
  ZuHttpRequestCallback callback;
  gpointer user_data;
  gchar *socket_path;  // NULL when listening on TCP
  // Requests wait here, their connections suspended, for a source of their
  // own: never called from inside MHD_run, the daemon serves on while a
  // callback iterates the context, and GLib keeps the callback single.
  GQueue waiting;
  guint deliver_id;
  // Each connection's request, by connection: the daemon does not complete
  // every request it gave up on (a full pool), so one goes with its
  // connection at the latest.
  GHashTable *requests;
};

namespace {

constexpr char kApiPath[] = "/panetessel/api";
constexpr char kDefaultListen[] = "127.0.0.1:8642";
constexpr guint16 kDefaultPort = 8642;
constexpr gsize kMaxBody = 1024 * 1024;
// A refusal sent while the client still writes makes the kernel reset the
// connection over the unread bytes, and the answer is lost: so a refused
// request's body is read and dropped, up to this much, before answering.
constexpr gsize kMaxDropped = 8 * kMaxBody;
// Seconds of silence before a connection is closed: 15 s outlasts four
// retransmissions of a lost segment (1 + 2 + 4 + 8 s).
constexpr unsigned kIdleTimeout = 15;
// The daemon keeps a record of some 60 bytes per query argument in the
// connection's 32 KiB pool and, in Debian 12's version, leaves the
// connection hanging unanswered when they do not fit. A target over 8 KiB,
// records counted, is refused (below that every request fits); one the
// daemon gave up on is closed after this many idle seconds.
constexpr gsize kMaxTarget = 8 * 1024;
constexpr gsize kArgumentRecord = 64;
constexpr unsigned kRefusedTimeout = 1;

struct Request {
  gchar *target;  // as it came: path and %-encoded query
  gchar *method;  // NULL until the headers are in
  MHD_Connection *connection;
  GByteArray *body;
  gsize received;          // body bytes, kept or dropped
  guint status;            // a refusal's, or the callback's answer's; 0 for neither yet
  MHD_Response *response;  // the callback's answer, queued once resumed
};

MHD_Response *empty_response() {
  return MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
}

MHD_Result reply(MHD_Connection *connection, guint status, MHD_Response *response) {
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result refuse(MHD_Connection *connection, guint status) {
  MHD_Response *response = empty_response();
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  return reply(connection, status, response);
}

MHD_Response *response_from_answer(const gchar *data, gsize size, guint *status) {
  *status = MHD_HTTP_INTERNAL_SERVER_ERROR;
  if (size == 0) return empty_response();
  ZuHttpAnswer answer;
  const gchar *problem = zu_http_answer_parse(data, size, &answer);
  MHD_Response *response = nullptr;
  if (problem == nullptr) {
    response = MHD_create_response_from_buffer(answer.body_len, const_cast<gchar *>(answer.body),
                                               MHD_RESPMEM_MUST_COPY);
    for (guint i = 0; i + 1 < answer.fields->len && problem == nullptr; i += 2)
      if (MHD_add_response_header(response, static_cast<gchar *>(answer.fields->pdata[i]),
                                  static_cast<gchar *>(answer.fields->pdata[i + 1])) != MHD_YES)
        problem = "a header the server refuses";
    *status = answer.status;
  }
  zu_http_answer_clear(&answer);
  if (problem == nullptr) return response;
  g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: malformed answer (%s); sending 500", problem);
  if (response != nullptr) MHD_destroy_response(response);
  *status = MHD_HTTP_INTERNAL_SERVER_ERROR;
  return empty_response();
}

void deliver(ZuHttpHandler *self, Request *request) {
  const gchar *body = nullptr;
  if (request->body->len > 0) {
    g_byte_array_append(request->body, reinterpret_cast<const guint8 *>(""), 1);
    body = reinterpret_cast<const gchar *>(request->body->data);
  }
  const gchar *query = std::strchr(request->target, '?');
  g_autoptr(GOutputStream) output = g_memory_output_stream_new_resizable();
  self->callback(request, request->method, body, query ? query + 1 : nullptr, output,
                 self->user_data);
  g_output_stream_close(output, nullptr, nullptr);
  auto *memory = G_MEMORY_OUTPUT_STREAM(output);
  request->response =
      response_from_answer(static_cast<const gchar *>(g_memory_output_stream_get_data(memory)),
                           g_memory_output_stream_get_data_size(memory), &request->status);
}

gboolean deliver_waiting(gpointer p) {
  auto *self = static_cast<ZuHttpHandler *>(p);
  while (auto *request = static_cast<Request *>(g_queue_pop_head(&self->waiting))) {
    deliver(self, request);
    MHD_resume_connection(request->connection);
    // The daemon has no wake-up of its own without a thread: run it now.
    g_source_set_ready_time(self->source, 0);
  }
  self->deliver_id = 0;
  return G_SOURCE_REMOVE;
}

void wait_for_delivery(ZuHttpHandler *self, Request *request) {
  MHD_suspend_connection(request->connection);
  g_queue_push_tail(&self->waiting, request);
  if (self->deliver_id != 0) return;
  // At the daemon's priority: an idle priority would starve under load.
  GSource *source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, deliver_waiting, self, nullptr);
  self->deliver_id = g_source_attach(source, nullptr);
  g_source_unref(source);
}

gboolean on_api_path(const gchar *target) {
  gsize length = std::strcspn(target, "?");
  return length == sizeof kApiPath - 1 && std::strncmp(target, kApiPath, length) == 0;
}

// The first call, once the headers are in. A refusal waits for the body
// (see kMaxDropped), unless the client waits for "100 Continue" first.
MHD_Result headers_in(MHD_Connection *connection, Request *request, const char *method) {
  request->method = g_strdup(method);
  const char *length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  const char *expect = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Expect");
  if (request->status == 0 && !on_api_path(request->target)) request->status = MHD_HTTP_NOT_FOUND;
  if (request->status == 0 && length != nullptr && g_ascii_strtoull(length, nullptr, 10) > kMaxBody)
    request->status = MHD_HTTP_CONTENT_TOO_LARGE;
  if (request->status != 0 && expect != nullptr && g_ascii_strcasecmp(expect, "100-continue") == 0)
    return refuse(connection, request->status);
  return MHD_YES;
}

// Kept up to the limit and dropped past it, so memory stays bounded; FALSE
// (the connection closes) past what is worth reading.
gboolean take_body(Request *request, const char *data, size_t size) {
  request->received += size;
  if (request->received > kMaxBody && request->status == 0)
    request->status = MHD_HTTP_CONTENT_TOO_LARGE;
  if (request->status == 0)
    g_byte_array_append(request->body, reinterpret_cast<const guint8 *>(data), size);
  return request->received <= kMaxDropped;
}

MHD_Result on_request(void *cls, MHD_Connection *connection, const char *, const char *method,
                      const char *, const char *upload_data, size_t *upload_data_size,
                      void **request_cls) {
  auto *self = static_cast<ZuHttpHandler *>(cls);
  auto *request = static_cast<Request *>(*request_cls);
  if (request->response != nullptr)
    return reply(connection, request->status, g_steal_pointer(&request->response));
  if (request->method == nullptr) return headers_in(connection, request, method);
  if (*upload_data_size > 0) {
    gboolean more = take_body(request, upload_data, *upload_data_size);
    *upload_data_size = 0;
    return more ? MHD_YES : MHD_NO;
  }
  // The callback takes the body as a NUL-terminated text: a NUL would cut it.
  if (request->status == 0 && request->body->len > 0 &&
      std::memchr(request->body->data, '\0', request->body->len))
    request->status = MHD_HTTP_BAD_REQUEST;
  if (request->status != 0) return refuse(connection, request->status);
  wait_for_delivery(self, request);
  return MHD_YES;
}

gboolean target_too_long(const gchar *target) {
  gsize size = std::strlen(target);
  if (const gchar *query = std::strchr(target, '?'))
    for (const gchar *c = query; *c != '\0'; c++)
      if (c == query || *c == '&') size += kArgumentRecord;
  return size > kMaxTarget;
}

void free_request(gpointer p) {
  auto *request = static_cast<Request *>(p);
  if (request->response != nullptr) MHD_destroy_response(request->response);
  g_byte_array_unref(request->body);
  g_free(request->method);
  g_free(request->target);
  g_free(request);
}

// Called as each request begins, with the target as it came: the daemon
// hands its handler the path decoded and the query taken apart.
void *begin_request(void *cls, const char *uri, MHD_Connection *connection) {
  auto *request = g_new0(Request, 1);
  request->target = g_strdup(uri);
  request->connection = connection;
  request->body = g_byte_array_new();
  if (target_too_long(uri)) {
    request->status = MHD_HTTP_URI_TOO_LONG;
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, kRefusedTimeout);
  }
  g_hash_table_insert(static_cast<ZuHttpHandler *>(cls)->requests, connection, request);
  return request;
}

void end_request(void *cls, MHD_Connection *connection, void **, MHD_RequestTerminationCode) {
  g_hash_table_remove(static_cast<ZuHttpHandler *>(cls)->requests, connection);
}

void end_connection(void *cls, MHD_Connection *connection, void **,
                    MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_CLOSED)
    g_hash_table_remove(static_cast<ZuHttpHandler *>(cls)->requests, connection);
}

gboolean dispatch(GSource *, GSourceFunc callback, gpointer data) { return callback(data); }

GSourceFuncs kDaemonSourceFuncs = {nullptr, nullptr, dispatch, nullptr, nullptr, nullptr};

// Runs when the daemon's epoll descriptor is readable, when its next
// timeout (an idle connection) is due, and at once (ready time 0) after a
// connection is resumed.
gboolean run_daemon(gpointer p) {
  auto *self = static_cast<ZuHttpHandler *>(p);
  MHD_run(self->daemon);
  MHD_UNSIGNED_LONG_LONG ms = 0;
  gboolean due = MHD_get_timeout(self->daemon, &ms) == MHD_YES;
  g_source_set_ready_time(self->source,
                          due ? g_get_monotonic_time() + static_cast<gint64>(ms) * 1000 : -1);
  return G_SOURCE_CONTINUE;
}

void attach_daemon(ZuHttpHandler *self) {
  self->source = g_source_new(&kDaemonSourceFuncs, sizeof(GSource));
  const MHD_DaemonInfo *info = MHD_get_daemon_info(self->daemon, MHD_DAEMON_INFO_EPOLL_FD);
  g_source_add_unix_fd(self->source, info->epoll_fd, G_IO_IN);
  g_source_set_callback(self->source, run_daemon, self, nullptr);
  g_source_set_name(self->source, "zuhttp");
  g_source_attach(self->source, nullptr);
}

// The stand-in checks no one, so the network must not reach it; and the
// service does not look at what zu_http_handler_new returns.
[[noreturn]] void refuse_start(const gchar *where) {
  g_log(nullptr, G_LOG_LEVEL_CRITICAL,
        "zuhttp: refusing to start: %s is neither a loopback address nor a Unix socket", where);
  exit(EXIT_FAILURE);
}

GSocketAddress *inet_address(const gchar *where, GError **error) {
  g_autoptr(GSocketConnectable) parsed = g_network_address_parse(where, kDefaultPort, error);
  if (parsed == nullptr) return nullptr;
  g_autoptr(GSocketAddressEnumerator) found = g_socket_connectable_enumerate(parsed);
  GSocketAddress *address = g_socket_address_enumerator_next(found, nullptr, error);
  if (address != nullptr && !g_inet_address_get_is_loopback(g_inet_socket_address_get_address(
                                G_INET_SOCKET_ADDRESS(address))))
    refuse_start(where);
  return address;
}

// The listener is ours rather than the daemon's so that a failure can say
// why. The backlog is the system's largest: a burst of clients waits in it
// instead of retrying a second later. A Unix socket left by an earlier run
// is replaced (nothing else is); the new one is open to all before anyone
// can connect, for its folder decides who reaches it.
GSocket *open_listener(const gchar *where, GError **error) {
  const gboolean on_path = where[0] == '/';
  g_autoptr(GSocketAddress) address =
      on_path ? g_unix_socket_address_new(where) : inet_address(where, error);
  if (address == nullptr) return nullptr;
  g_autoptr(GSocket) socket = g_socket_new(g_socket_address_get_family(address),
                                           G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_DEFAULT, error);
  if (socket == nullptr) return nullptr;
  struct stat st;
  if (on_path && lstat(where, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(where);
  g_socket_set_listen_backlog(socket, SOMAXCONN);
  if (!g_socket_bind(socket, address, TRUE, error)) return nullptr;
  if (on_path && chmod(where, 0666) != 0) {
    g_set_error_literal(error, G_IO_ERROR, g_io_error_from_errno(errno), g_strerror(errno));
    return nullptr;
  }
  return g_socket_listen(socket, error) ? g_steal_pointer(&socket) : nullptr;
}

// What the ready file says: the URL on TCP, the socket's path.
gchar *endpoint_of(GSocket *listener, const gchar *where) {
  if (where[0] == '/') return g_strdup(where);
  g_autoptr(GSocketAddress) address = g_socket_get_local_address(listener, nullptr);
  if (address == nullptr) return nullptr;
  auto *inet = G_INET_SOCKET_ADDRESS(address);
  g_autofree gchar *host = g_inet_address_to_string(g_inet_socket_address_get_address(inet));
  return g_uri_join(G_URI_FLAGS_NONE, "http", nullptr, host,
                    g_inet_socket_address_get_port(inet), kApiPath, nullptr, nullptr);
}

// The daemon closes the listener it is given as it stops: a copy of ours.
MHD_Daemon *start_daemon(ZuHttpHandler *self, GSocket *listener) {
  int fd = fcntl(g_socket_get_fd(listener), F_DUPFD_CLOEXEC, 0);
  MHD_Daemon *daemon = MHD_start_daemon(
      MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, on_request, self,
      MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeout,
      MHD_OPTION_URI_LOG_CALLBACK, begin_request, self, MHD_OPTION_NOTIFY_COMPLETED, end_request,
      self, MHD_OPTION_NOTIFY_CONNECTION, end_connection, self, MHD_OPTION_END);
  if (daemon == nullptr && fd >= 0) close(fd);
  return daemon;
}

// Written aside and renamed: a reader never sees half of it.
void write_ready_file(const gchar *endpoint) {
  const gchar *path = g_getenv("ZU_HTTP_READY_FILE");
  if (path == nullptr || *path == '\0') return;
  g_autoptr(GError) error = nullptr;
  if (!g_file_set_contents(path, endpoint, -1, &error))
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: cannot write %s: %s", path, error->message);
}

void free_handler(ZuHttpHandler *self) {
  if (self->socket_path != nullptr) unlink(self->socket_path);
  g_free(self->socket_path);
  g_hash_table_unref(self->requests);
  g_free(self);
}

}  // namespace

ZuHttpHandler *zu_http_handler_new(ZuHttpRequestCallback callback, gpointer user_data) {
  g_return_val_if_fail(callback != nullptr, nullptr);
  const gchar *where = g_getenv("ZU_HTTP_LISTEN");
  if (where == nullptr || *where == '\0') where = kDefaultListen;

  g_autoptr(GError) error = nullptr;
  g_autoptr(GSocket) listener = open_listener(where, &error);
  if (listener == nullptr) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: cannot listen on %s: %s", where,
          error != nullptr ? error->message : "no address");
    return nullptr;
  }
  auto *self = g_new0(ZuHttpHandler, 1);
  self->callback = callback;
  self->user_data = user_data;
  self->requests = g_hash_table_new_full(nullptr, nullptr, nullptr, free_request);
  if (where[0] == '/') self->socket_path = g_strdup(where);
  g_autofree gchar *endpoint = endpoint_of(listener, where);
  self->daemon = endpoint != nullptr ? start_daemon(self, listener) : nullptr;
  if (self->daemon == nullptr) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: cannot listen on %s", where);
    free_handler(self);
    return nullptr;
  }
  attach_daemon(self);

  g_log(nullptr, G_LOG_LEVEL_MESSAGE, "zuhttp: listening on %s", endpoint);
  write_ready_file(endpoint);
  return self;
}

void zu_http_handler_free(ZuHttpHandler *handler) {
  if (handler == nullptr) return;
  if (handler->deliver_id != 0) g_source_remove(handler->deliver_id);
  // The daemon must not stop with connections suspended.
  while (auto *request = static_cast<Request *>(g_queue_pop_head(&handler->waiting)))
    MHD_resume_connection(request->connection);
  MHD_stop_daemon(handler->daemon);
  g_source_destroy(handler->source);
  g_source_unref(handler->source);
  free_handler(handler);
}
