#include "zuhttp.h"

#include <libsoup/soup.h>

#include <cstring>

struct _ZuHttpHandler {
  SoupServer *server;
  ZuHttpRequestCallback callback;
  gpointer user_data;
  // TRUE while the callback runs; requests that arrive meanwhile (a callback
  // that iterates the main context) wait paused in `waiting`.
  gboolean busy;
  GQueue waiting;
  guint drain_id;
};

namespace {

constexpr char kPath[] = "/panetessel/api";
constexpr char kDefaultListen[] = "127.0.0.1:8642";
constexpr guint16 kDefaultPort = 8642;
constexpr gsize kMaxBody = 1024 * 1024;

constexpr char kBodyKey[] = "zuhttp-body";
constexpr char kFinishedKey[] = "zuhttp-finished";

// The request body as it comes in, kept by us rather than by libsoup so that
// an oversized chunked body never grows past the limit in memory.
struct RequestBody {
  GByteArray *data;
  gboolean too_large;
};

void request_body_free(gpointer p) {
  auto *body = static_cast<RequestBody *>(p);
  g_byte_array_unref(body->data);
  g_free(body);
}

RequestBody *request_body(SoupServerMessage *msg) {
  return static_cast<RequestBody *>(g_object_get_data(G_OBJECT(msg), kBodyKey));
}

void on_got_chunk(SoupServerMessage *msg, GBytes *chunk, gpointer) {
  RequestBody *body = request_body(msg);
  if (body == nullptr || body->too_large) return;
  gsize size = 0;
  auto *bytes = static_cast<const guint8 *>(g_bytes_get_data(chunk, &size));
  if (size > kMaxBody - body->data->len) {
    body->too_large = TRUE;
    g_byte_array_set_size(body->data, 0);
    return;
  }
  g_byte_array_append(body->data, bytes, size);
}

// Runs once the headers are in, before any of the body is read. libsoup
// still reads the body of a refused request (unless the client waits for
// "100 Continue"), so nothing is accumulated by libsoup itself; only the
// endpoint's body is kept, up to the limit.
void on_early_request(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *,
                      gpointer) {
  soup_message_body_set_accumulate(soup_server_message_get_request_body(msg), FALSE);
  if (std::strcmp(path, kPath) != 0) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  SoupMessageHeaders *headers = soup_server_message_get_request_headers(msg);
  if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH &&
      soup_message_headers_get_content_length(headers) > static_cast<goffset>(kMaxBody)) {
    soup_server_message_set_status(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
    return;
  }
  auto *body = g_new0(RequestBody, 1);
  body->data = g_byte_array_new();
  g_object_set_data_full(G_OBJECT(msg), kBodyKey, body, request_body_free);
  g_signal_connect(msg, "got-chunk", G_CALLBACK(on_got_chunk), nullptr);
}

// --- CGI answer -> HTTP answer -------------------------------------------

struct CgiAnswer {
  guint status;
  gchar *reason;  // NULL: libsoup's phrase for the status
  SoupMessageHeaders *headers;
  const gchar *body;
  gsize body_len;
};

void cgi_answer_clear(CgiAnswer *answer) {
  g_clear_pointer(&answer->reason, g_free);
  g_clear_pointer(&answer->headers, soup_message_headers_unref);
}

gboolean is_token_char(char c) {
  return g_ascii_isalnum(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

gboolean valid_name(const gchar *name, gsize len) {
  if (len == 0) return FALSE;
  for (gsize i = 0; i < len; i++)
    if (!is_token_char(name[i])) return FALSE;
  return TRUE;
}

gboolean valid_value(const gchar *value) {
  for (const gchar *p = value; *p; p++)
    if ((g_ascii_iscntrl(*p) && *p != '\t') || *p == '\x7f') return FALSE;
  return TRUE;
}

// "NNN" or "NNN Reason"; a final answer's status lies in 200..599.
gboolean parse_status(const gchar *value, CgiAnswer *answer) {
  if (!g_ascii_isdigit(value[0]) || !g_ascii_isdigit(value[1]) || !g_ascii_isdigit(value[2]))
    return FALSE;
  if (value[3] != '\0' && value[3] != ' ') return FALSE;
  guint status = (value[0] - '0') * 100 + (value[1] - '0') * 10 + (value[2] - '0');
  if (status < 200 || status > 599) return FALSE;
  const gchar *reason = value[3] == ' ' ? value + 4 : "";
  while (*reason == ' ') reason++;
  answer->status = status;
  answer->reason = *reason ? g_strdup(reason) : nullptr;
  return TRUE;
}

// One header line, without its line end. Framing headers are left to libsoup,
// which sizes the answer from the body actually written.
const gchar *parse_header_line(const gchar *line, gsize len, CgiAnswer *answer) {
  const gchar *colon = static_cast<const gchar *>(std::memchr(line, ':', len));
  if (colon == nullptr || !valid_name(line, colon - line)) return "a header line without a name";
  g_autofree gchar *name = g_strndup(line, colon - line);
  g_autofree gchar *value = g_strndup(colon + 1, len - (colon + 1 - line));
  g_strstrip(value);
  if (!valid_value(value)) return "a control character in a header value";
  if (g_ascii_strcasecmp(name, "Status") == 0) {
    if (answer->status != 0) return "two Status lines";
    return parse_status(value, answer) ? nullptr : "a Status line without a valid status code";
  }
  if (g_ascii_strcasecmp(name, "Content-Length") == 0 ||
      g_ascii_strcasecmp(name, "Transfer-Encoding") == 0)
    return nullptr;
  soup_message_headers_append(answer->headers, name, value);
  return nullptr;
}

// Header lines end in CRLF or LF; a blank line ends them and the rest is the
// body, byte for byte. Returns NULL on success, else what was wrong.
const gchar *parse_cgi(const gchar *data, gsize size, CgiAnswer *answer) {
  answer->headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  gsize pos = 0;
  for (;;) {
    auto *nl = static_cast<const gchar *>(std::memchr(data + pos, '\n', size - pos));
    if (nl == nullptr) return "no blank line after the header lines";
    gsize len = nl - (data + pos);
    if (len > 0 && data[pos + len - 1] == '\r') len--;
    if (len == 0) {
      pos = nl + 1 - data;
      break;
    }
    if (std::memchr(data + pos, '\0', len) != nullptr) return "a NUL byte in the header lines";
    if (const gchar *problem = parse_header_line(data + pos, len, answer)) return problem;
    pos = nl + 1 - data;
  }
  if (answer->status == 0) return "no Status line";
  answer->body = data + pos;
  answer->body_len = size - pos;
  return nullptr;
}

void answer_from_cgi(SoupServerMessage *msg, const gchar *data, gsize size) {
  if (size == 0) {
    soup_server_message_set_status(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, nullptr);
    return;
  }
  CgiAnswer answer = {};
  if (const gchar *problem = parse_cgi(data, size, &answer)) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: malformed answer (%s); sending 500", problem);
    cgi_answer_clear(&answer);
    soup_server_message_set_status(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, nullptr);
    return;
  }
  soup_server_message_set_status(msg, answer.status, answer.reason);
  SoupMessageHeaders *out = soup_server_message_get_response_headers(msg);
  SoupMessageHeadersIter iter;
  soup_message_headers_iter_init(&iter, answer.headers);
  const char *name = nullptr;
  const char *value = nullptr;
  while (soup_message_headers_iter_next(&iter, &name, &value))
    soup_message_headers_append(out, name, value);
  if (answer.body_len > 0)
    soup_message_body_append(soup_server_message_get_response_body(msg), SOUP_MEMORY_COPY,
                             answer.body, answer.body_len);
  cgi_answer_clear(&answer);
}

// --- delivery, one request at a time -------------------------------------

void deliver(ZuHttpHandler *self, SoupServerMessage *msg) {
  g_object_ref(msg);
  RequestBody *body = request_body(msg);
  const gchar *body_text = nullptr;
  if (body != nullptr && body->data->len > 0) {
    g_byte_array_append(body->data, reinterpret_cast<const guint8 *>(""), 1);
    body_text = reinterpret_cast<const gchar *>(body->data->data);
  }
  GOutputStream *output = g_memory_output_stream_new_resizable();
  self->busy = TRUE;
  self->callback(msg, soup_server_message_get_method(msg), body_text,
                 g_uri_get_query(soup_server_message_get_uri(msg)), output, self->user_data);
  self->busy = FALSE;
  g_output_stream_close(output, nullptr, nullptr);
  auto *memory = G_MEMORY_OUTPUT_STREAM(output);
  answer_from_cgi(msg, static_cast<const gchar *>(g_memory_output_stream_get_data(memory)),
                  g_memory_output_stream_get_data_size(memory));
  g_object_unref(output);
  g_object_unref(msg);
}

void on_waiting_finished(SoupServerMessage *msg, gpointer) {
  g_object_set_data(G_OBJECT(msg), kFinishedKey, GINT_TO_POINTER(1));
}

void schedule_drain(ZuHttpHandler *self);

gboolean drain_waiting(gpointer p) {
  auto *self = static_cast<ZuHttpHandler *>(p);
  if (self->busy) {
    // The running request schedules us again when it is done.
    self->drain_id = 0;
    return G_SOURCE_REMOVE;
  }
  auto *msg = static_cast<SoupServerMessage *>(g_queue_pop_head(&self->waiting));
  if (msg != nullptr) {
    g_signal_handlers_disconnect_by_func(msg, reinterpret_cast<gpointer>(on_waiting_finished),
                                         nullptr);
    if (g_object_get_data(G_OBJECT(msg), kFinishedKey) == nullptr) {
      deliver(self, msg);
      soup_server_message_unpause(msg);
    }
    g_object_unref(msg);
  }
  if (g_queue_is_empty(&self->waiting)) {
    self->drain_id = 0;
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

void schedule_drain(ZuHttpHandler *self) {
  if (self->drain_id != 0 || g_queue_is_empty(&self->waiting)) return;
  GSource *source = g_idle_source_new();
  g_source_set_callback(source, drain_waiting, self, nullptr);
  self->drain_id = g_source_attach(source, nullptr);
  g_source_unref(source);
}

void on_request(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *,
                gpointer p) {
  auto *self = static_cast<ZuHttpHandler *>(p);
  if (std::strcmp(path, kPath) != 0) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  RequestBody *body = request_body(msg);
  if (body != nullptr && body->too_large) {
    soup_server_message_set_status(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
    return;
  }
  if (self->busy || !g_queue_is_empty(&self->waiting)) {
    soup_server_message_pause(msg);
    g_signal_connect(msg, "finished", G_CALLBACK(on_waiting_finished), nullptr);
    g_queue_push_tail(&self->waiting, g_object_ref(msg));
    if (!self->busy) schedule_drain(self);
    return;
  }
  deliver(self, msg);
  schedule_drain(self);
}

// --- listening -------------------------------------------------------------

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

gchar *endpoint_url(SoupServer *server) {
  GSList *uris = soup_server_get_uris(server);
  if (uris == nullptr) return nullptr;
  auto *uri = static_cast<GUri *>(uris->data);
  gchar *url = g_uri_join(G_URI_FLAGS_NONE, "http", nullptr, g_uri_get_host(uri),
                          g_uri_get_port(uri), kPath, nullptr, nullptr);
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  return url;
}

gboolean start_listening(SoupServer *server, const gchar *where, GError **error) {
  g_autoptr(GSocketAddress) address = listen_address(where, error);
  if (address == nullptr) return FALSE;
  // The server's sources go to the thread-default context at listen time;
  // requests belong on the process's default context.
  g_main_context_push_thread_default(g_main_context_default());
  gboolean ok = soup_server_listen(server, address, static_cast<SoupServerListenOptions>(0), error);
  g_main_context_pop_thread_default(g_main_context_default());
  return ok;
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

}  // namespace

ZuHttpHandler *zu_http_handler_new(ZuHttpRequestCallback callback, gpointer user_data) {
  g_return_val_if_fail(callback != nullptr, nullptr);
  const gchar *where = g_getenv("ZU_HTTP_LISTEN");
  if (where == nullptr || *where == '\0') where = kDefaultListen;

  g_autoptr(SoupServer) server = soup_server_new("server-header", "zuhttp", nullptr);
  g_autoptr(GError) error = nullptr;
  if (!start_listening(server, where, &error)) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: cannot listen on %s: %s", where, error->message);
    return nullptr;
  }
  g_autofree gchar *url = endpoint_url(server);
  if (url == nullptr) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: cannot listen on %s", where);
    return nullptr;
  }

  auto *self = g_new0(ZuHttpHandler, 1);
  self->callback = callback;
  self->user_data = user_data;
  g_queue_init(&self->waiting);
  soup_server_add_early_handler(server, nullptr, on_early_request, nullptr, nullptr);
  soup_server_add_handler(server, nullptr, on_request, self, nullptr);
  self->server = static_cast<SoupServer *>(g_steal_pointer(&server));

  g_log(nullptr, G_LOG_LEVEL_MESSAGE, "zuhttp: listening on %s", url);
  write_ready_file(url);
  return self;
}

void zu_http_handler_free(ZuHttpHandler *handler) {
  if (handler == nullptr) return;
  if (handler->drain_id != 0) g_source_remove(handler->drain_id);
  soup_server_disconnect(handler->server);
  while (auto *msg = static_cast<SoupServerMessage *>(g_queue_pop_head(&handler->waiting))) {
    g_signal_handlers_disconnect_by_func(msg, reinterpret_cast<gpointer>(on_waiting_finished),
                                         nullptr);
    g_object_unref(msg);
  }
  g_object_unref(handler->server);
  g_free(handler);
}
