/* JSON API framework: turns one HTTP request into one response text.
 *
 * A service describes its API with two null-terminated tables, a version
 * list and a method list; zucgi_handle_request checks each request, settles
 * its API version, checks the caller's access level, runs the method and
 * wraps the outcome in a response envelope. */
#pragma once

#include <glib.h>
#include <jansson.h>

G_BEGIN_DECLS

typedef struct {
  guint32 major; /* selects behaviour */
  guint32 minor; /* only reported */
} ApiVersion;

/* params: the request's "params" object, or NULL (borrowed).
 * response: an empty slot. TRUE: the slot holds the result, or nothing for
 * an empty object. FALSE: the slot holds an error object; nothing turns
 * the whole reply into a bare 500. */
typedef gboolean (*MethodHandler)(json_t *params, json_t **response);

typedef struct {
  guint32 level;         /* lowest access level that may call the method */
  MethodHandler handler; /* NULL only for the built-in getSupportedVersions */
} MethodDescriptor;

typedef struct {
  const gchar *name;
  /* The method's descriptor for one major version; never NULL for a major
   * that the version list holds. */
  const MethodDescriptor *(*lookup)(guint32 major);
} MethodEntry;

/* Answers one HTTP request. version_list and method_list end with NULL.
 * *out receives a newly allocated response text (write it unchanged, then
 * g_free it) or NULL (write nothing). Always returns TRUE. */
gboolean zucgi_handle_request(const ApiVersion *const *version_list,
                              const MethodEntry *const *method_list, gpointer http_data,
                              const gchar *http_method, const gchar *payload, gchar **out);

/* A new envelope {"apiVersion", ["context",] "method"}, or NULL. */
json_t *create_response(const gchar *method, const guint32 *major, const guint32 *minor,
                        const gchar *context);

/* A new error object {"code", "message"}, or NULL when message is NULL. */
json_t *create_error_object(gint32 code, const gchar *message);

/* Sets "error" of response, taking error (NULL means the 8000 internal
 * error). FALSE when it could not be set. */
gboolean set_response_error(json_t *response, json_t *error);

/* The effective user's access level: 4 admin, 3 operator, 2 viewer,
 * 1 the user "anonymous", 0 anyone else. */
guint32 get_access_level(void);

G_END_DECLS

#ifdef __cplusplus
#include <memory>

/* Owns one reference to a JSON value. */
struct JsonDecref {
  void operator()(json_t *value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDecref>;
#endif
