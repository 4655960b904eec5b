#include "zuhttp.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "zuhttp_answer.h"
#include "zuhttp_digest.h"
#include "zuhttp_front.h"
#include "zuhttp_users.h"
#include "zuhttp_web.h"

namespace {

// The front's refusals, each logged once a minute at most.
enum Refusal {
  kForeignHost,
  kCrossOrigin,
  kSlowed,
  kUnreadable,
  kBadCredentials,
  kNotOperator,
  kRefusals
};

}  // namespace

struct _ZuHttpHandler {
  MHD_Daemon *daemon;
  GSource *source;  // runs the daemon from the default main context
  ZuHttpRequestCallback callback;
  gpointer user_data;
  gchar *web_root;  // NULL: no static files
  guint idle_timeout;  // seconds
  guint max_connections;
  GQueue open;  // Connections
  GQueue lingering;  // Lingers
  guint sweep_id;
  // Finished requests wait here, their connections suspended, for the
  // callback. They are delivered from a source of their own, never from
  // inside MHD_run, so the daemon keeps serving while a callback iterates
  // the main context, and GLib's recursion guard keeps the callback single.
  GQueue waiting;
  guint deliver_id;
  // The front (see zuhttp.h).
  gchar **host_names;     // ZU_HTTP_HOSTS
  ZuHttpUserFile *users;  // NULL: no authentication
  ZuHttpSlowdown *slowdown;
  ZuHttpDigest *digest;
  gint64 logged[kRefusals];
};

namespace {

constexpr char kApiPath[] = "/panetessel/api";
constexpr char kWebPrefix[] = "/panetessel/";
constexpr char kDefaultListen[] = "127.0.0.1:8642";
constexpr guint16 kDefaultPort = 8642;
constexpr gsize kMaxBody = 1024 * 1024;

// A connection that sends or takes nothing for this long is closed, and so
// is one that has not sent a whole request this long after it opened or
// after its last answer (a client trickling bytes is idle in all but name).
// 15 s outlasts four retransmissions of a lost segment (1 + 2 + 4 + 8 s)
// and the pause between a browser's calls, yet frees the slot of a client
// that stalls or vanished without a FIN soon enough that a few hundred of
// them cannot keep others out for long.
constexpr guint kDefaultIdleTimeout = 15;
// Descriptors kept free for the service itself (log, bus, key file, video
// system, the listener and the daemon's own).
constexpr rlim_t kDescriptorHeadroom = 64;
// Beyond the descriptors, each connection holds a 32 KiB buffer and up to
// a 1 MiB body: a camera has no room for more.
constexpr rlim_t kMaxConnections = 1024;
// The daemon keeps a record of some 60 bytes per query argument in the
// connection's 32 KiB pool and, in the version Debian 12 ships, leaves the
// connection hanging without an answer when they do not fit. A target over
// 8 KiB, each argument's record counted, is refused as common servers refuse
// request lines over 8 KiB; below that every request fits, whatever comes
// with it.
constexpr gsize kMaxTarget = 8 * 1024;
constexpr gsize kArgumentRecord = 64;
// Nonces whose counts are kept against replays, 32 bytes each: more than
// a camera's clients use in a nonce's 5 minutes.
constexpr guint kNonceSlots = 1024;
constexpr guint kSlowdownSlots = 256;
constexpr gint64 kRefusalLogPeriod = 60 * G_USEC_PER_SEC;
constexpr const char *kRefusalText[kRefusals] = {
    "a Host missing or not this camera's", "a cross-origin request", "too many failed attempts",
    "credentials it cannot read", "wrong credentials", "a user in neither operator nor admin"};
// The settings page: it cannot be framed, and loads and sends nothing elsewhere.
constexpr char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// A refused target whose request the daemon gave up on is closed this soon.
constexpr gint64 kRefusedGrace = G_USEC_PER_SEC;
// After an early answer, this much more of the client's request is read and
// dropped at most, for at most the idle timeout, before the connection is
// closed for good: a body some times over the limit, sent whole before the
// answer is read, still gets its answer.
constexpr gsize kLingerBytes = 8 * kMaxBody;

struct Request {
  gchar *target;  // as it came: path and %-encoded query
  gchar *method;
  MHD_Connection *connection;
  GByteArray *body;  // NULL until the headers are in
  gboolean too_large;
  gboolean target_too_long;
  gboolean answered;
  MHD_Response *response;  // the callback's answer, queued once resumed
  guint status;
};

struct Connection {
  MHD_Connection *connection;
  gint64 deadline;  // for the whole of the next request; G_MAXINT64 once it is in
  GList *link;      // in ZuHttpHandler::open
  gboolean linger;  // answered before the request was read whole
};

// A closed connection, drained on a descriptor of our own.
struct Linger {
  ZuHttpHandler *self;
  int fd;
  gint64 deadline;
  gsize dropped;
  guint watch;
  GList *link;  // in ZuHttpHandler::lingering
};

guint env_count(const gchar *name, guint fallback) {
  guint64 value = 0;
  const gchar *text = g_getenv(name);
  if (text == nullptr || !g_ascii_string_to_unsigned(text, 10, 1, G_MAXUINT, &value, nullptr))
    return fallback;
  return static_cast<guint>(value);
}

// Below the descriptor limit, so that accepting never fails for want of
// descriptors.
guint connection_limit() {
  struct rlimit limit = {};
  rlim_t descriptors = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
  rlim_t headroom = MIN(kDescriptorHeadroom, descriptors / 2);
  auto bound = static_cast<guint>(MIN(descriptors - headroom, kMaxConnections));
  return MIN(env_count("ZU_HTTP_MAX_CONNECTIONS", bound), bound);
}

// --- connections -------------------------------------------------------------

Connection *connection_of(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<Connection *>(info->socket_context) : nullptr;
}

gint64 request_deadline(ZuHttpHandler *self) {
  return g_get_monotonic_time() + self->idle_timeout * G_USEC_PER_SEC;
}

void request_in(MHD_Connection *connection) {
  if (Connection *open = connection_of(connection)) open->deadline = G_MAXINT64;
}

void linger_end(Linger *linger);

// The daemon's own timeout counts silence only. A connection past its
// deadline is shut down; the daemon then sees it end and closes it. A
// closed one still drained is closed for good at its deadline.
gboolean sweep(gpointer p) {
  auto *self = static_cast<ZuHttpHandler *>(p);
  gint64 now = g_get_monotonic_time();
  for (GList *l = self->lingering.head; l != nullptr;) {
    auto *linger = static_cast<Linger *>(l->data);
    l = l->next;
    if (linger->deadline <= now) linger_end(linger);
  }
  for (GList *l = self->open.head; l != nullptr; l = l->next) {
    auto *open = static_cast<Connection *>(l->data);
    if (open->deadline > now) continue;
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(open->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) shutdown(info->connect_fd, SHUT_RDWR);
    open->deadline = G_MAXINT64;
  }
  if (!g_queue_is_empty(&self->open) || !g_queue_is_empty(&self->lingering))
    return G_SOURCE_CONTINUE;
  self->sweep_id = 0;
  return G_SOURCE_REMOVE;
}

void keep_sweeping(ZuHttpHandler *self) {
  if (self->sweep_id == 0) self->sweep_id = g_timeout_add_seconds(1, sweep, self);
}

// --- staged close --------------------------------------------------------------

// The daemon closes a connection as soon as its answer is out. When the
// client is still sending the request that answer refused, the unread bytes
// make the kernel reset the connection, and a client that writes its whole
// request before reading loses the answer. So such a connection goes on, on
// a duplicate of its descriptor: its sending side shut down, what still
// arrives is read and dropped until the client closes, within the bounds.

void linger_end(Linger *linger) {
  ZuHttpHandler *self = linger->self;
  if (linger->watch != 0) g_source_remove(linger->watch);
  close(linger->fd);
  g_queue_delete_link(&self->lingering, linger->link);
  g_free(linger);
  // Room again, as when a connection closes.
  g_source_set_ready_time(self->source, 0);
}

// Drops what has arrived, 64 KiB a turn so that the loop serves others in
// between; FALSE once the client is done or past the bound.
gboolean linger_drain(Linger *linger) {
  char scrap[16384];
  for (int reads = 0; reads < 4; reads++) {
    gssize n = recv(linger->fd, scrap, sizeof scrap, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0) return FALSE;
    linger->dropped += static_cast<gsize>(n);
    if (linger->dropped > kLingerBytes) return FALSE;
  }
  return TRUE;
}

gboolean linger_readable(int, GIOCondition, gpointer p) {
  auto *linger = static_cast<Linger *>(p);
  if (linger_drain(linger)) return G_SOURCE_CONTINUE;
  linger->watch = 0;
  linger_end(linger);
  return G_SOURCE_REMOVE;
}

// Called as the daemon lets go of the connection, before it closes its own
// descriptor; it counts against the connection bound until it ends.
void linger_start(ZuHttpHandler *self, MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  int fd = info != nullptr ? fcntl(info->connect_fd, F_DUPFD_CLOEXEC, 0) : -1;
  if (fd < 0) return;
  shutdown(fd, SHUT_WR);  // the daemon has too, once the answer was out
  auto *linger = g_new0(Linger, 1);
  linger->self = self;
  linger->fd = fd;
  linger->deadline = request_deadline(self);
  g_queue_push_tail(&self->lingering, linger);
  linger->link = self->lingering.tail;
  if (!linger_drain(linger)) {
    linger_end(linger);
    return;
  }
  linger->watch = g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                linger_readable, linger);
  keep_sweeping(self);
}

// The connection closes after this answer, perhaps with its request unread.
void linger_after(MHD_Connection *connection) {
  if (Connection *open = connection_of(connection)) open->linger = TRUE;
}

// A client over the bound is accepted and closed at once: left in the
// backlog it would wait unanswered for as long as the slots stay held.
MHD_Result admit(void *cls, const struct sockaddr *, socklen_t) {
  auto *self = static_cast<ZuHttpHandler *>(cls);
  return self->open.length + self->lingering.length < self->max_connections ? MHD_YES : MHD_NO;
}

void track_connection(void *cls, MHD_Connection *connection, void **context,
                      MHD_ConnectionNotificationCode code) {
  auto *self = static_cast<ZuHttpHandler *>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto *open = g_new0(Connection, 1);
    open->connection = connection;
    g_queue_push_tail(&self->open, open);
    open->link = self->open.tail;
    open->deadline = request_deadline(self);
    *context = open;
    keep_sweeping(self);
    return;
  }
  auto *open = static_cast<Connection *>(*context);
  if (open->linger) linger_start(self, connection);
  g_queue_delete_link(&self->open, open->link);
  g_free(open);
  // Room again: run the daemon once more, so that a listener it set aside
  // (descriptors ran out) goes back on its poll set.
  g_source_set_ready_time(self->source, 0);
}

// --- answers ---------------------------------------------------------------

MHD_Response *empty_response() {
  return MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
}

MHD_Result reply(MHD_Connection *connection, guint status, MHD_Response *response) {
  request_in(connection);
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result reply_empty(MHD_Connection *connection, guint status) {
  return reply(connection, status, empty_response());
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

// --- delivery, one request at a time -----------------------------------------

void deliver(ZuHttpHandler *self, Request *request) {
  const gchar *body = nullptr;
  if (request->body->len > 0) {
    g_byte_array_append(request->body, reinterpret_cast<const guint8 *>(""), 1);
    body = reinterpret_cast<const gchar *>(request->body->data);
  }
  const gchar *query = std::strchr(request->target, '?');
  GOutputStream *output = g_memory_output_stream_new_resizable();
  self->callback(request, request->method, body, query ? query + 1 : nullptr, output, self->user_data);
  g_output_stream_close(output, nullptr, nullptr);
  auto *memory = G_MEMORY_OUTPUT_STREAM(output);
  request->response =
      response_from_answer(static_cast<const gchar *>(g_memory_output_stream_get_data(memory)),
                           g_memory_output_stream_get_data_size(memory), &request->status);
  g_object_unref(output);
}

gboolean deliver_waiting(gpointer p) {
  auto *self = static_cast<ZuHttpHandler *>(p);
  while (auto *request = static_cast<Request *>(g_queue_pop_head(&self->waiting))) {
    deliver(self, request);
    request->answered = TRUE;
    MHD_resume_connection(request->connection);
    // The daemon has no wake-up of its own without a thread: run it now.
    g_source_set_ready_time(self->source, 0);
  }
  self->deliver_id = 0;
  return G_SOURCE_REMOVE;
}

void wait_for_delivery(ZuHttpHandler *self, Request *request) {
  request_in(request->connection);
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

// --- routing -------------------------------------------------------------------

MHD_Result serve_file(ZuHttpHandler *self, MHD_Connection *connection, const gchar *method,
                      const gchar *path) {
  if (g_strcmp0(method, "GET") != 0 && g_strcmp0(method, "HEAD") != 0) {
    MHD_Response *response = empty_response();
    MHD_add_response_header(response, "Allow", "GET, HEAD");
    return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response);
  }
  guint64 size = 0;
  const gchar *content_type = nullptr;
  int fd = zu_http_web_open(self->web_root, path + strlen(kWebPrefix), &size, &content_type);
  if (fd < 0) return reply_empty(connection, MHD_HTTP_NOT_FOUND);
  MHD_Response *response = MHD_create_response_from_fd64(size, fd);
  if (response == nullptr) {
    close(fd);
    return reply_empty(connection, MHD_HTTP_INTERNAL_SERVER_ERROR);
  }
  MHD_add_response_header(response, "Content-Type", content_type);
  MHD_add_response_header(response, "Cache-Control", "no-cache");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy", kPagePolicy);
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  return reply(connection, MHD_HTTP_OK, response);
}

// --- the front ---------------------------------------------------------------------

MHD_Result note_header(void *cls, MHD_ValueKind, const char *name, const char *value) {
  auto *headers = static_cast<ZuHttpFrontHeaders *>(cls);
  auto note = [value](const gchar **first, guint *count) {
    if ((*count)++ == 0) *first = value;
  };
  if (g_ascii_strcasecmp(name, MHD_HTTP_HEADER_HOST) == 0)
    note(&headers->host, &headers->hosts);
  else if (g_ascii_strcasecmp(name, MHD_HTTP_HEADER_ORIGIN) == 0)
    note(&headers->origin, &headers->origins);
  else if (g_ascii_strcasecmp(name, "Sec-Fetch-Site") == 0)
    note(&headers->fetch_site, &headers->fetch_sites);
  else if (g_ascii_strcasecmp(name, MHD_HTTP_HEADER_AUTHORIZATION) == 0)
    note(&headers->authorization, &headers->authorizations);
  return MHD_YES;
}

const struct sockaddr *client_address(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  return info != nullptr ? info->client_addr : nullptr;
}

ZuHttpPeer peer_of(MHD_Connection *connection) {
  return zu_http_peer_of(client_address(connection));
}

// One warning line per kind a minute at most: an attacker cannot fill the
// log, and whoever reads it still learns that it goes on.
void log_refusal(ZuHttpHandler *self, MHD_Connection *connection, Refusal kind, guint status) {
  gint64 now = g_get_monotonic_time();
  if (self->logged[kind] != 0 && now - self->logged[kind] < kRefusalLogPeriod) return;
  self->logged[kind] = now;
  g_autofree gchar *from = nullptr;
  if (const struct sockaddr *address = client_address(connection)) {
    gsize size = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    g_autoptr(GSocketAddress) socket_address =
        g_socket_address_new_from_native(const_cast<struct sockaddr *>(address), size);
    if (G_IS_INET_SOCKET_ADDRESS(socket_address))
      from = g_inet_address_to_string(
          g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(socket_address)));
  }
  g_log(nullptr, G_LOG_LEVEL_WARNING,
        "zuhttp: %u to %s, for %s (like refusals are logged once a minute at most)", status,
        from != nullptr ? from : "a client", kRefusalText[kind]);
}

MHD_Result refuse(ZuHttpHandler *self, MHD_Connection *connection, Refusal kind, guint status) {
  log_refusal(self, connection, kind, status);
  return reply_empty(connection, status);
}

MHD_Result slow_down(ZuHttpHandler *self, MHD_Connection *connection, guint seconds) {
  log_refusal(self, connection, kSlowed, MHD_HTTP_TOO_MANY_REQUESTS);
  MHD_Response *response = empty_response();
  g_autofree gchar *after = g_strdup_printf("%u", seconds);
  MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, after);
  return reply(connection, MHD_HTTP_TOO_MANY_REQUESTS, response);
}

// 401 with a challenge and a fresh nonce.
MHD_Result challenge(ZuHttpHandler *self, MHD_Connection *connection, gboolean stale) {
  MHD_Response *response = empty_response();
  g_autofree gchar *value = zu_http_digest_challenge(self->digest, stale, g_get_monotonic_time());
  MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, value);
  return reply(connection, MHD_HTTP_UNAUTHORIZED, response);
}

// FALSE when the request is answered here (401 or 403), with *answered the
// daemon's result. Only a wrong password or an unknown user counts as a
// failed attempt: a client asked afresh (no credentials, a nonce spent or
// too old) has tried nothing, and neither has one whose credentials cannot
// be read.
gboolean authenticated(ZuHttpHandler *self, MHD_Connection *connection,
                       const ZuHttpFrontHeaders *headers, const gchar *method, const gchar *target,
                       MHD_Result *answered) {
  g_autofree gchar *user = nullptr;
  ZuHttpDigestResult result =
      headers->authorizations > 1
          ? ZU_HTTP_DIGEST_MALFORMED
          : zu_http_digest_check(self->digest, self->users, headers->authorization, method,
                                 target, g_get_monotonic_time(), &user);
  switch (result) {
    case ZU_HTTP_DIGEST_PASSED:
      if (zu_http_users_may_operate(user)) return TRUE;
      *answered = refuse(self, connection, kNotOperator, MHD_HTTP_FORBIDDEN);
      return FALSE;
    case ZU_HTTP_DIGEST_WRONG: {
      ZuHttpPeer peer = peer_of(connection);
      zu_http_slowdown_fail(self->slowdown, &peer, g_get_monotonic_time());
      log_refusal(self, connection, kBadCredentials, MHD_HTTP_UNAUTHORIZED);
      break;
    }
    case ZU_HTTP_DIGEST_MALFORMED:
      log_refusal(self, connection, kUnreadable, MHD_HTTP_UNAUTHORIZED);
      break;
    case ZU_HTTP_DIGEST_ASK:
    case ZU_HTTP_DIGEST_STALE:
      break;
  }
  *answered = challenge(self, connection, result == ZU_HTTP_DIGEST_STALE);
  return FALSE;
}

// --- routing, after the front ----------------------------------------------------------

// The first call, once the headers are in. The front's checks come first, in
// this order, each answered at once; then the routes. Bodies announced over
// the limit are refused before they are read (no "100 Continue" goes out).
MHD_Result route(ZuHttpHandler *self, MHD_Connection *connection, Request *request,
                 const gchar *method) {
  if (request->target_too_long) return reply_empty(connection, MHD_HTTP_URI_TOO_LONG);
  ZuHttpFrontHeaders headers = {};
  MHD_get_connection_values(connection, MHD_HEADER_KIND, note_header, &headers);
  if (guint status = zu_http_front_host_status(&headers, self->host_names))
    return refuse(self, connection, kForeignHost, status);
  if (self->users != nullptr) {
    ZuHttpPeer peer = peer_of(connection);
    if (guint seconds = zu_http_slowdown_left(self->slowdown, &peer, g_get_monotonic_time()))
      return slow_down(self, connection, seconds);
  }
  g_autofree gchar *path = g_strndup(request->target, std::strcspn(request->target, "?"));
  gboolean api = std::strcmp(path, kApiPath) == 0;
  if (api && zu_http_front_cross_origin(&headers, method))
    return refuse(self, connection, kCrossOrigin, MHD_HTTP_FORBIDDEN);
  MHD_Result answered = MHD_NO;
  if (self->users != nullptr &&
      !authenticated(self, connection, &headers, method, request->target, &answered))
    return answered;
  if (api) {
    const char *length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr && g_ascii_strtoull(length, nullptr, 10) > kMaxBody)
      return reply_empty(connection, MHD_HTTP_CONTENT_TOO_LARGE);
    request->method = g_strdup(method);
    request->body = g_byte_array_new();
    return MHD_YES;
  }
  if (self->web_root != nullptr && g_str_has_prefix(path, kWebPrefix))
    return serve_file(self, connection, method, path);
  return reply_empty(connection, MHD_HTTP_NOT_FOUND);
}

// The body is kept by us, up to the limit, so that an oversized chunked body
// never grows past it in memory.
void take_body(Request *request, const char *data, size_t size) {
  if (request->too_large) return;
  if (size > kMaxBody - request->body->len) {
    request->too_large = TRUE;
    g_byte_array_set_size(request->body, 0);
    return;
  }
  g_byte_array_append(request->body, reinterpret_cast<const guint8 *>(data), size);
}

MHD_Result on_request(void *cls, MHD_Connection *connection, const char *, const char *method,
                      const char *, const char *upload_data, size_t *upload_data_size,
                      void **request_cls) {
  auto *self = static_cast<ZuHttpHandler *>(cls);
  auto *request = static_cast<Request *>(*request_cls);
  if (request->answered) {
    MHD_Response *response = g_steal_pointer(&request->response);
    return reply(connection, request->status, response);
  }
  if (request->body == nullptr) {
    MHD_Result routed = route(self, connection, request, method);
    // Answered at once: the daemon reads no body and closes after the answer.
    if (request->body == nullptr) linger_after(connection);
    return routed;
  }
  if (*upload_data_size > 0) {
    take_body(request, upload_data, *upload_data_size);
    *upload_data_size = 0;
    return MHD_YES;
  }
  // Closed, as when the length announced is over the limit.
  if (request->too_large) {
    MHD_Response *response = empty_response();
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    linger_after(connection);
    return reply(connection, MHD_HTTP_CONTENT_TOO_LARGE, response);
  }
  // The callback takes the body as a NUL-terminated text: a NUL would cut it.
  if (request->body->len > 0 && std::memchr(request->body->data, '\0', request->body->len))
    return reply_empty(connection, MHD_HTTP_BAD_REQUEST);
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

// Called as each request begins, with the target as it came: the daemon
// hands its handler the path decoded and the query taken apart.
void *begin_request(void *, const char *uri, MHD_Connection *connection) {
  auto *request = g_new0(Request, 1);
  request->target = g_strdup(uri);
  request->connection = connection;
  request->target_too_long = target_too_long(uri);
  Connection *open = connection_of(connection);
  if (request->target_too_long && open != nullptr)
    open->deadline = MIN(open->deadline, g_get_monotonic_time() + kRefusedGrace);
  return request;
}

void end_request(void *cls, MHD_Connection *connection, void **request_cls,
                 MHD_RequestTerminationCode code) {
  if (Connection *open = connection_of(connection))
    open->deadline = request_deadline(static_cast<ZuHttpHandler *>(cls));
  // The daemon's own refusals (malformed or oversized headers) close at
  // once too.
  if (code == MHD_REQUEST_TERMINATED_WITH_ERROR) linger_after(connection);
  auto *request = static_cast<Request *>(*request_cls);
  if (request == nullptr) return;
  if (request->response != nullptr) MHD_destroy_response(request->response);
  if (request->body != nullptr) g_byte_array_unref(request->body);
  g_free(request->method);
  g_free(request->target);
  g_free(request);
  *request_cls = nullptr;
}

// --- the daemon on the main loop -------------------------------------------------

// Polls the daemon's epoll descriptor, and wakes for its timeouts (idle
// connections) as MHD_get_timeout asks, and at once (ready time 0) after a
// connection is resumed.
struct DaemonSource {
  GSource source;
  MHD_Daemon *daemon;
  gpointer tag;
};

gboolean daemon_due(MHD_Daemon *daemon, gint *timeout) {
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (MHD_get_timeout(daemon, &ms) != MHD_YES) {
    *timeout = -1;
    return FALSE;
  }
  *timeout = static_cast<gint>(MIN(ms, static_cast<MHD_UNSIGNED_LONG_LONG>(G_MAXINT)));
  return ms == 0;
}

gboolean daemon_prepare(GSource *source, gint *timeout) {
  return daemon_due(reinterpret_cast<DaemonSource *>(source)->daemon, timeout);
}

gboolean daemon_check(GSource *source) {
  auto *self = reinterpret_cast<DaemonSource *>(source);
  gint timeout = 0;
  return (g_source_query_unix_fd(source, self->tag) & G_IO_IN) != 0 ||
         daemon_due(self->daemon, &timeout);
}

gboolean daemon_dispatch(GSource *source, GSourceFunc, gpointer) {
  g_source_set_ready_time(source, -1);
  MHD_run(reinterpret_cast<DaemonSource *>(source)->daemon);
  return G_SOURCE_CONTINUE;
}

GSourceFuncs kDaemonSourceFuncs = {daemon_prepare, daemon_check, daemon_dispatch, nullptr,
                                   nullptr, nullptr};

GSource *daemon_source_new(MHD_Daemon *daemon) {
  GSource *source = g_source_new(&kDaemonSourceFuncs, sizeof(DaemonSource));
  auto *self = reinterpret_cast<DaemonSource *>(source);
  self->daemon = daemon;
  const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
  self->tag = g_source_add_unix_fd(source, info->epoll_fd, G_IO_IN);
  g_source_set_name(source, "zuhttp");
  return source;
}

// --- listening -------------------------------------------------------------------

GSocketAddress *listen_address(const gchar *where, GError **error) {
  g_autoptr(GSocketConnectable) parsed = g_network_address_parse(where, kDefaultPort, error);
  if (parsed == nullptr) return nullptr;
  auto *network = G_NETWORK_ADDRESS(parsed);
  guint16 port = g_network_address_get_port(network);
  const gchar *host = g_network_address_get_hostname(network);
  g_autoptr(GInetAddress) address = g_inet_address_new_from_string(host);
  if (address == nullptr) {
    g_autoptr(GResolver) resolver = g_resolver_get_default();
    GList *found = g_resolver_lookup_by_name(resolver, host, nullptr, error);
    if (found == nullptr) return nullptr;
    address = G_INET_ADDRESS(g_object_ref(found->data));
    g_resolver_free_addresses(found);
  }
  return g_inet_socket_address_new(address, port);
}

gboolean set_errno_error(GError **error, int fd) {
  int code = errno;
  if (fd >= 0) close(fd);
  g_set_error_literal(error, G_IO_ERROR, g_io_error_from_errno(code), g_strerror(code));
  return FALSE;
}

// The listener is ours rather than the daemon's so that a failure can say
// why. The backlog is the system's largest: a burst of clients waits in it
// instead of retrying its SYNs a second later.
gboolean open_listener(const gchar *where, int *listener, GError **error) {
  g_autoptr(GSocketAddress) address = listen_address(where, error);
  if (address == nullptr) return FALSE;
  struct sockaddr_storage native = {};
  gssize size = g_socket_address_get_native_size(address);
  if (!g_socket_address_to_native(address, &native, sizeof native, error)) return FALSE;
  int fd = socket(native.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return set_errno_error(error, fd);
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<struct sockaddr *>(&native), size) != 0 ||
      listen(fd, SOMAXCONN) != 0)
    return set_errno_error(error, fd);
  *listener = fd;
  return TRUE;
}

gchar *endpoint_url(int listener) {
  struct sockaddr_storage native = {};
  socklen_t size = sizeof native;
  if (getsockname(listener, reinterpret_cast<struct sockaddr *>(&native), &size) != 0)
    return nullptr;
  g_autoptr(GSocketAddress) address = g_socket_address_new_from_native(&native, size);
  if (!G_IS_INET_SOCKET_ADDRESS(address)) return nullptr;
  auto *inet = G_INET_SOCKET_ADDRESS(address);
  g_autofree gchar *host = g_inet_address_to_string(g_inet_socket_address_get_address(inet));
  return g_uri_join(G_URI_FLAGS_NONE, "http", nullptr, host,
                    g_inet_socket_address_get_port(inet), kApiPath, nullptr, nullptr);
}

MHD_Daemon *start_daemon(ZuHttpHandler *self, int listener) {
  self->max_connections = connection_limit();
  self->idle_timeout = env_count("ZU_HTTP_IDLE_TIMEOUT", kDefaultIdleTimeout);
  return MHD_start_daemon(
      MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, admit, self, on_request, self,
      MHD_OPTION_LISTEN_SOCKET, listener, MHD_OPTION_CONNECTION_LIMIT, self->max_connections + 1,
      MHD_OPTION_NOTIFY_CONNECTION, track_connection, self, MHD_OPTION_CONNECTION_TIMEOUT,
      self->idle_timeout, MHD_OPTION_URI_LOG_CALLBACK, begin_request, self,
      MHD_OPTION_NOTIFY_COMPLETED, end_request, self, MHD_OPTION_END);
}

// Written through a temporary file and a rename, so a reader never sees a
// half-written URL.
void write_ready_file(const gchar *url) {
  const gchar *path = g_getenv("ZU_HTTP_READY_FILE");
  if (path == nullptr || *path == '\0') return;
  g_autoptr(GError) error = nullptr;
  if (!g_file_set_contents(path, url, -1, &error))
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: cannot write %s: %s", path, error->message);
}

// --- the front's settings ----------------------------------------------------------

// A start the front refuses ends the process: the service does not look at
// what zu_http_handler_new returns, and must not run unreachable or open.
[[noreturn]] void refuse_start(const gchar *why) {
  g_log(nullptr, G_LOG_LEVEL_CRITICAL, "zuhttp: refusing to start: %s", why);
  exit(EXIT_FAILURE);
}

void open_front(ZuHttpHandler *self) {
  self->host_names = zu_http_front_parse_names(g_getenv("ZU_HTTP_HOSTS"));
  const gchar *path = g_getenv("ZU_HTTP_USERS");
  if (path == nullptr || *path == '\0') return;
  g_autoptr(GError) error = nullptr;
  self->users = zu_http_user_file_open(path, &error);
  if (self->users == nullptr) {
    g_autofree gchar *why = g_strdup_printf("the users file %s: %s", path, error->message);
    refuse_start(why);
  }
  self->digest = zu_http_digest_new(kNonceSlots, &error);
  if (self->digest == nullptr) {
    g_autofree gchar *why = g_strdup_printf("the nonces: %s", error->message);
    refuse_start(why);
  }
  self->slowdown = zu_http_slowdown_new(kSlowdownSlots);
}

gboolean loopback_only(int listener) {
  struct sockaddr_storage native = {};
  socklen_t size = sizeof native;
  if (getsockname(listener, reinterpret_cast<struct sockaddr *>(&native), &size) != 0) return FALSE;
  g_autoptr(GSocketAddress) address = g_socket_address_new_from_native(&native, size);
  return G_IS_INET_SOCKET_ADDRESS(address) &&
         g_inet_address_get_is_loopback(
             g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address)));
}

void close_front(ZuHttpHandler *self) {
  g_strfreev(self->host_names);
  zu_http_user_file_free(self->users);
  zu_http_slowdown_free(self->slowdown);
  zu_http_digest_free(self->digest);
}

}  // namespace

ZuHttpHandler *zu_http_handler_new(ZuHttpRequestCallback callback, gpointer user_data) {
  g_return_val_if_fail(callback != nullptr, nullptr);
  const gchar *where = g_getenv("ZU_HTTP_LISTEN");
  if (where == nullptr || *where == '\0') where = kDefaultListen;

  auto *self = g_new0(ZuHttpHandler, 1);
  self->callback = callback;
  self->user_data = user_data;
  g_queue_init(&self->waiting);
  g_queue_init(&self->open);
  g_queue_init(&self->lingering);
  open_front(self);

  int listener = -1;
  g_autoptr(GError) error = nullptr;
  if (!open_listener(where, &listener, &error)) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: cannot listen on %s: %s", where, error->message);
    close_front(self);
    g_free(self);
    return nullptr;
  }
  if (self->users == nullptr && !loopback_only(listener)) {
    g_autofree gchar *why = g_strdup_printf(
        "%s is not loopback only, and without ZU_HTTP_USERS anyone could drive the camera", where);
    refuse_start(why);
  }
  g_autofree gchar *url = endpoint_url(listener);
  self->daemon = url != nullptr ? start_daemon(self, listener) : nullptr;
  if (self->daemon == nullptr) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: cannot listen on %s", where);
    close(listener);
    close_front(self);
    g_free(self);
    return nullptr;
  }
  const gchar *web_root = g_getenv("ZU_HTTP_WEB_ROOT");
  if (web_root != nullptr && *web_root != '\0') self->web_root = g_strdup(web_root);
  self->source = daemon_source_new(self->daemon);
  g_source_attach(self->source, nullptr);

  g_log(nullptr, G_LOG_LEVEL_MESSAGE, "zuhttp: listening on %s", url);
  write_ready_file(url);
  return self;
}

void zu_http_handler_free(ZuHttpHandler *handler) {
  if (handler == nullptr) return;
  if (handler->deliver_id != 0) g_source_remove(handler->deliver_id);
  // The daemon must not stop with connections suspended.
  while (auto *request = static_cast<Request *>(g_queue_pop_head(&handler->waiting)))
    MHD_resume_connection(request->connection);
  MHD_stop_daemon(handler->daemon);
  while (auto *linger = static_cast<Linger *>(g_queue_peek_head(&handler->lingering)))
    linger_end(linger);
  if (handler->sweep_id != 0) g_source_remove(handler->sweep_id);
  g_source_destroy(handler->source);
  g_source_unref(handler->source);
  g_free(handler->web_root);
  close_front(handler);
  g_free(handler);
}
