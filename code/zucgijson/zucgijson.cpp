#include "zucgijson.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <utility>

#include "zucgi_escape.h"
#include "zulog.h"

namespace {

constexpr gchar kReplyHead[] = "Status: 200 OK\r\nContent-Type: application/json\r\n\r\n";
constexpr gchar kReply500[] = "Status: 500 Internal Server Error\r\n\r\n";
constexpr gchar kGetSupportedVersions[] = "getSupportedVersions";
constexpr gchar kUnknownMethod[] = "unknown";
// Room for the JSON text of most answers, so that it seldom has to grow.
constexpr gsize kReplyStartSize = 512;

enum : gint32 {
  ERROR_NONE = 0,
  ERROR_ALLOCATION = 2000,
  ERROR_ACCESS_FORBIDDEN = 2001,
  ERROR_HTTP_METHOD = 2002,
  ERROR_API_VERSION = 2003,
  ERROR_METHOD = 2004,
  ERROR_INVALID_JSON = 4000,
  ERROR_MISSING_PARAMETER = 4001,
  ERROR_PARAMETER_TYPE = 4002,
  ERROR_INTERNAL_ERROR = 8000,
};

struct ErrorText {
  gint32 code;
  const gchar *message;
};

constexpr ErrorText kErrorTexts[] = {
    {ERROR_ALLOCATION, "Failed to allocate memory."},
    {ERROR_ACCESS_FORBIDDEN, "Access forbidden."},
    {ERROR_HTTP_METHOD, "HTTP request type not supported. Only POST supported."},
    {ERROR_API_VERSION, "The requested API version is not supported."},
    {ERROR_METHOD, "Method not supported."},
    {ERROR_INVALID_JSON, "The provided JSON input was invalid."},
    {ERROR_MISSING_PARAMETER, "Mandatory input parameter was not found in the input."},
    {ERROR_PARAMETER_TYPE, "The type of a provided JSON parameter was incorrect."},
    {ERROR_INTERNAL_ERROR, "Internal error, could not complete request."},
};

const gchar *error_message(gint32 code) {
  for (const auto &entry : kErrorTexts)
    if (entry.code == code) return entry.message;
  return nullptr;
}

json_t *create_json_error(gint32 code) { return create_error_object(code, error_message(code)); }

// The tables of one call and the version that answers when none is settled.
struct Tables {
  const ApiVersion *const *versions;
  const MethodEntry *const *methods;
  const ApiVersion *default_version;
};

// What unpacking takes from one request object, borrowed from the parsed
// payload. The method name and the context are the request's own JSON
// strings: the envelope takes a reference to them rather than a copy.
struct Request {
  json_t *method = nullptr;
  guint32 major = 0;
  guint32 minor = 0;
  json_t *context = nullptr;
  json_t *params = nullptr;

  const gchar *method_name() const { return json_string_value(method); }
};

// The text "%u.%u" of a version, without printf: every envelope has one.
struct VersionText {
  gchar text[2 * 10 + 2];
  gsize length;

  VersionText(guint32 major, guint32 minor) {
    gchar *end = std::to_chars(text, text + 10, major).ptr;
    *end++ = '.';
    end = std::to_chars(end, end + 10, minor).ptr;
    *end = '\0';
    length = static_cast<gsize>(end - text);
  }
  // The text is ASCII digits and a point: no UTF-8 check needed.
  json_t *json() const { return json_stringn_nocheck(text, length); }
};

// A new envelope {"apiVersion", ["context",] "method"}, or NULL. method and
// context are JSON strings (or NULL); the envelope shares them.
json_t *new_envelope(json_t *method, const ApiVersion &version, json_t *context) {
  JsonPtr response(json_object());
  if (!response) return nullptr;
  json_t *object = response.get();
  int failed = json_object_set_new_nocheck(object, "apiVersion",
                                           VersionText(version.major, version.minor).json());
  if (context != nullptr)
    failed |= json_object_set_new_nocheck(object, "context", json_incref(context));
  json_t *name = method != nullptr ? json_incref(method)
                                   : json_stringn_nocheck(kUnknownMethod, sizeof kUnknownMethod - 1);
  failed |= json_object_set_new_nocheck(object, "method", name);
  return failed ? nullptr : response.release();
}

// Only the first problem of a request is reported.
void note_error(gint32 *error, gint32 code) {
  if (*error == ERROR_NONE) *error = code;
}

const ApiVersion *find_default_version(const ApiVersion *const *versions) {
  const ApiVersion *best = versions[0];
  for (gsize i = 1; versions[i] != nullptr; i++)
    if (versions[i]->major > best->major) best = versions[i];
  return best;
}

const ApiVersion *find_major(const ApiVersion *const *versions, guint32 major) {
  for (gsize i = 0; versions[i] != nullptr; i++)
    if (versions[i]->major == major) return versions[i];
  return nullptr;
}

void read_api_version(json_t *request, Request *req, gint32 *error) {
  json_t *version = json_object_get(request, "apiVersion");
  if (version == nullptr) return note_error(error, ERROR_MISSING_PARAMETER);
  if (!json_is_string(version)) return note_error(error, ERROR_PARAMETER_TYPE);
  // Read into temporaries: a half-read version must leave 0.0 behind.
  guint major = 0;
  guint minor = 0;
  if (std::sscanf(json_string_value(version), "%5u.%5u", &major, &minor) != 2)
    return note_error(error, ERROR_API_VERSION);
  req->major = major;
  req->minor = minor;
}

// Returns the code of the request's first problem, or ERROR_NONE.
gint32 unpack_request(json_t *request, Request *req) {
  gint32 error = ERROR_NONE;
  json_t *method = json_object_get(request, "method");
  if (method == nullptr)
    note_error(&error, ERROR_MISSING_PARAMETER);
  else if (!json_is_string(method))
    note_error(&error, ERROR_PARAMETER_TYPE);
  else
    req->method = method;

  const gboolean builtin = g_strcmp0(req->method_name(), kGetSupportedVersions) == 0;
  if (!builtin) read_api_version(request, req, &error);

  json_t *context = json_object_get(request, "context");
  if (json_is_string(context))
    req->context = context;
  else if (context != nullptr)
    note_error(&error, ERROR_PARAMETER_TYPE);

  if (error == ERROR_NONE && !builtin) {
    json_t *params = json_object_get(request, "params");
    if (json_is_object(params))
      req->params = params;
    else if (params != nullptr)
      note_error(&error, ERROR_PARAMETER_TYPE);
  }
  return error;
}

ApiVersion settle_version(const Tables &tables, const Request &req, gint32 *error) {
  if (req.major == 0) return *tables.default_version;
  const ApiVersion *listed = find_major(tables.versions, req.major);
  if (listed == nullptr) {
    note_error(error, ERROR_API_VERSION);
    return *tables.default_version;
  }
  return ApiVersion{req.major, listed->minor};
}

// Minor numbers are never compared, so 3.1 may stay before 3.0.
void sort_by_major(const ApiVersion **versions, gsize n) {
  for (gsize end = n; end > 1; end--) {
    gboolean swapped = FALSE;
    for (gsize i = 0; i + 1 < end; i++) {
      if (versions[i]->major > versions[i + 1]->major) {
        std::swap(versions[i], versions[i + 1]);
        swapped = TRUE;
      }
    }
    if (!swapped) break;
  }
}

// Follows the handler contract: TRUE with data, FALSE with an error
// object, FALSE with nothing on an internal failure.
gboolean get_supported_versions(const ApiVersion *const *versions, json_t **response) {
  g_assert(versions != NULL && *versions != NULL);
  g_assert(response != NULL && *response == NULL);
  JsonPtr list(json_array());
  if (!list) return FALSE;

  gsize n = 0;
  while (versions[n] != nullptr) n++;
  // The caller's table is static data; sort a copy.
  g_autofree const ApiVersion **sorted = g_try_new(const ApiVersion *, n);
  if (sorted == nullptr) {
    *response = create_json_error(ERROR_ALLOCATION);
    return FALSE;
  }
  std::memcpy(sorted, versions, n * sizeof(const ApiVersion *));
  sort_by_major(sorted, n);

  for (gsize i = 0; i < n; i++) {
    const VersionText text(sorted[i]->major, sorted[i]->minor);
    if (json_array_append_new(list.get(), text.json()) != 0) return FALSE;
  }
  JsonPtr data(json_object());
  if (!data || json_object_set_new_nocheck(data.get(), "apiVersions", list.release()) != 0)
    return FALSE;
  *response = data.release();
  return TRUE;
}

// FALSE when the error object cannot be made or set.
gboolean put_error(json_t *envelope, gint32 code) {
  json_t *error = create_json_error(code);
  return error != nullptr && set_response_error(envelope, error);
}

const MethodEntry *find_method(const MethodEntry *const *methods, const gchar *name) {
  for (gsize i = 0; methods[i] != nullptr; i++)
    if (g_strcmp0(methods[i]->name, name) == 0) return methods[i];
  return nullptr;
}

// Runs the method and completes the envelope; FALSE on an internal failure.
gboolean exec_method(const Tables &tables, const Request &req, guint32 major, json_t *envelope) {
  const guint32 level = get_access_level();
  json_t *response = nullptr;

  const MethodEntry *entry = find_method(tables.methods, req.method_name());
  if (entry == nullptr) return put_error(envelope, ERROR_METHOD);
  const MethodDescriptor *descriptor = entry->lookup ? entry->lookup(major) : nullptr;
  if (descriptor == nullptr) g_assert(FALSE);

  if (descriptor->level > level) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "%smethod denied; req. access level: %d", "",
          static_cast<gint>(descriptor->level));
    return put_error(envelope, ERROR_ACCESS_FORBIDDEN);
  }

  gboolean ok;
  if (descriptor->handler != nullptr)
    ok = descriptor->handler(req.params, &response);
  else if (g_strcmp0(req.method_name(), kGetSupportedVersions) == 0)
    ok = get_supported_versions(tables.versions, &response);
  else
    return FALSE;

  if (!ok) return response != nullptr && set_response_error(envelope, response);
  json_t *data = response != nullptr ? response : json_object();
  return json_object_set_new_nocheck(envelope, "data", data) == 0;
}

// The envelope answering one request object, or NULL on an internal failure.
json_t *handle_one(const Tables &tables, json_t *request) {
  Request req;
  gint32 error = unpack_request(request, &req);
  const ApiVersion version = settle_version(tables, req, &error);

  JsonPtr envelope(new_envelope(req.method, version, req.context));
  if (!envelope) return nullptr;
  if (error != ERROR_NONE) return put_error(envelope.get(), error) ? envelope.release() : nullptr;
  return exec_method(tables, req, version.major, envelope.get()) ? envelope.release() : nullptr;
}

// The reply text as it grows; json_dump_callback hands it many short
// pieces, so appending must be cheap.
struct ReplyText {
  gchar *data;
  gsize length;
  gsize size;
};

int append_text(const char *buffer, size_t size, void *p) {
  auto *reply = static_cast<ReplyText *>(p);
  if (size > reply->size - reply->length) {
    gsize grown = reply->size;
    while (size > grown - reply->length) grown *= 2;
    auto *data = static_cast<gchar *>(g_try_realloc(reply->data, grown));
    if (data == nullptr) return -1;
    reply->data = data;
    reply->size = grown;
  }
  std::memcpy(reply->data + reply->length, buffer, size);
  reply->length += size;
  return 0;
}

// A 200 reply's header lines, the JSON text to follow; FALSE when even
// they cannot be had.
gboolean start_reply_200(ReplyText *reply) {
  *reply = {static_cast<gchar *>(g_try_malloc(kReplyStartSize)), 0, kReplyStartSize};
  return reply->data != nullptr && append_text(kReplyHead, sizeof kReplyHead - 1, reply) == 0;
}

// NULL when the JSON text cannot be rendered: then nothing is sent.
// The text is rendered as json_dumps would, but straight behind the header
// lines: json_dumps drops object keys it fails to buffer and so can send
// corrupted JSON, and its text would have to be copied once more.
gchar *reply_200(json_t *answer) {
  ReplyText reply;
  // The line end and the closing NUL come last.
  if (!start_reply_200(&reply) ||
      json_dump_callback(answer, append_text, &reply, JSON_PRESERVE_ORDER) != 0 ||
      append_text("\r\n", sizeof "\r\n", &reply) != 0) {
    g_free(reply.data);
    return nullptr;
  }
  return reply.data;
}

// jansson reports an allocation that fails while parsing as a syntax error,
// or not at all (a text that cannot grow is cut short): its allocator is
// watched for the length of the parse.
json_malloc_t parse_malloc = nullptr;
gboolean parse_short_of_memory = FALSE;

void *watched_malloc(size_t size) {
  void *block = parse_malloc(size);
  if (block == nullptr) parse_short_of_memory = TRUE;
  return block;
}

json_t *parse_payload(const gchar *payload, json_error_t *error, gboolean *short_of_memory) {
  json_free_t parse_free = nullptr;
  json_get_alloc_funcs(&parse_malloc, &parse_free);
  parse_short_of_memory = FALSE;
  json_set_alloc_funcs(watched_malloc, parse_free);
  json_t *parsed = json_loads(payload, 0, error);
  json_set_alloc_funcs(parse_malloc, parse_free);
  *short_of_memory = parse_short_of_memory;
  return parsed;
}

// A batch's answer, rendered envelope by envelope as json_dumps renders an
// array, so that each envelope is released while it is still warm. One
// internal failure fails the whole batch at once; a text that cannot be
// rendered leaves NULL, once every element has been handled.
gchar *answer_batch(const Tables &tables, json_t *batch) {
  ReplyText reply;
  gboolean rendered = start_reply_200(&reply) && append_text("[", 1, &reply) == 0;
  for (gsize i = 0; i < json_array_size(batch); i++) {
    json_t *request = json_array_get(batch, i);
    g_assert(request != NULL);
    JsonPtr envelope(handle_one(tables, request));
    if (!envelope) {
      g_free(reply.data);
      return g_strdup(kReply500);
    }
    rendered = rendered && (i == 0 || append_text(", ", 2, &reply) == 0) &&
               json_dump_callback(envelope.get(), append_text, &reply, JSON_PRESERVE_ORDER) == 0;
  }
  if (!rendered || append_text("]\r\n", sizeof "]\r\n", &reply) != 0) {
    g_free(reply.data);
    return nullptr;
  }
  return reply.data;
}

// Answers before any request object is read; takes error (NULL: 8000).
gchar *early_reply(const ApiVersion *version, json_t *error) {
  JsonPtr envelope(new_envelope(nullptr, *version, nullptr));
  if (!envelope) {
    json_decref(error);
    return g_strdup(kReply500);
  }
  if (!set_response_error(envelope.get(), error)) return g_strdup(kReply500);
  return reply_200(envelope.get());
}

gchar *answer_request(const Tables &tables, const gchar *http_method, const gchar *payload) {
  if (g_strcmp0(http_method, "POST") != 0)
    return early_reply(tables.default_version, create_json_error(ERROR_HTTP_METHOD));
  if (payload == nullptr) return early_reply(tables.default_version, nullptr);

  json_error_t parse_error;
  gboolean short_of_memory = FALSE;
  JsonPtr parsed(parse_payload(payload, &parse_error, &short_of_memory));
  if (short_of_memory) return g_strdup(kReply500);
  if (!parsed) {
    // jansson's text quotes the client's bytes.
    g_autofree gchar *reason = zucgi_escape_log_text(parse_error.text);
    g_log(nullptr, G_LOG_LEVEL_WARNING, "%sFailed to parse json string: %s", "", reason);
    return early_reply(tables.default_version, create_json_error(ERROR_INVALID_JSON));
  }

  if (json_is_array(parsed.get()) && json_array_size(parsed.get()) == 0) {
    parsed.reset();
    JsonPtr empty(json_array());
    return empty ? reply_200(empty.get()) : nullptr;
  }
  if (json_is_array(parsed.get())) return answer_batch(tables, parsed.get());
  JsonPtr answer(handle_one(tables, parsed.get()));
  parsed.reset();
  return answer ? reply_200(answer.get()) : g_strdup(kReply500);
}

}  // namespace

gboolean zucgi_handle_request(const ApiVersion *const *version_list,
                              const MethodEntry *const *method_list, gpointer http_data,
                              const gchar *http_method, const gchar *payload, gchar **out) {
  g_assert(version_list != NULL);
  g_assert(*version_list != NULL);
  g_assert(method_list != NULL);
  g_assert(out != NULL);
  (void)http_data;
  const Tables tables{version_list, method_list, find_default_version(version_list)};

  zu_log_syslog();
  *out = answer_request(tables, http_method, payload);
  return TRUE;
}

json_t *create_response(const gchar *method, const guint32 *major, const guint32 *minor,
                        const gchar *context) {
  JsonPtr name(method != nullptr ? json_string(method) : nullptr);
  JsonPtr echoed(context != nullptr ? json_string(context) : nullptr);
  if ((method != nullptr && !name) || (context != nullptr && !echoed)) return nullptr;
  return new_envelope(name.get(), ApiVersion{*major, *minor}, echoed.get());
}

json_t *create_error_object(gint32 code, const gchar *message) {
  if (message == nullptr) return nullptr;
  JsonPtr error(json_object());
  if (!error) return nullptr;
  // An error object without its code or message would mislead the client.
  if (json_object_set_new(error.get(), "code", json_integer(code)) != 0 ||
      json_object_set_new(error.get(), "message", json_string(message)) != 0)
    return nullptr;
  return error.release();
}

gboolean set_response_error(json_t *response, json_t *error) {
  if (response == nullptr) {
    json_decref(error);
    return FALSE;
  }
  if (error == nullptr) error = create_json_error(ERROR_INTERNAL_ERROR);
  return json_object_set_new_nocheck(response, "error", error) == 0;
}
