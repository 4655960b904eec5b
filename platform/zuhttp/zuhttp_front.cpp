#include "zuhttp_front.h"

#include <arpa/inet.h>

#include <cstring>
#include <string_view>

namespace {

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool valid_port(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  guint value = 0;
  for (char c : port) {
    if (!g_ascii_isdigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return value <= 65535;
}

// inet_pton's strict forms only: dotted decimal for IPv4, no zone for IPv6.
bool is_address(std::string_view name, int family) {
  char text[INET6_ADDRSTRLEN];
  unsigned char bytes[16];
  if (name.size() >= sizeof text) return false;
  std::memcpy(text, name.data(), name.size());
  text[name.size()] = '\0';
  return inet_pton(family, text, bytes) == 1;
}

bool allowed_name(std::string_view name, const gchar *const *names) {
  if (is_address(name, AF_INET) || same_text(name, "localhost")) return true;
  for (const gchar *const *allowed = names; allowed != nullptr && *allowed != nullptr; allowed++)
    if (same_text(name, *allowed)) return true;
  return false;
}

}  // namespace

guint zu_http_front_host_status(const ZuHttpFrontHeaders *headers, const gchar *const *names) {
  if (headers->hosts != 1 || headers->host == nullptr || *headers->host == '\0') return 400;
  std::string_view host(headers->host);
  if (host.front() == '[') {
    size_t close = host.find(']');
    if (close == std::string_view::npos) return 421;
    std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !valid_port(rest.substr(1)))) return 421;
    return is_address(host.substr(1, close - 1), AF_INET6) ? 0 : 421;
  }
  size_t colon = host.find(':');
  if (colon != std::string_view::npos && !valid_port(host.substr(colon + 1))) return 421;
  return allowed_name(host.substr(0, colon), names) ? 0 : 421;
}

gboolean zu_http_front_cross_origin(const ZuHttpFrontHeaders *headers, const gchar *method) {
  if (g_strcmp0(method, "GET") == 0 || g_strcmp0(method, "HEAD") == 0) return FALSE;
  if (headers->fetch_sites > 1 || headers->origins > 1) return TRUE;
  if (headers->fetch_site != nullptr &&
      (same_text(headers->fetch_site, "cross-site") || same_text(headers->fetch_site, "same-site")))
    return TRUE;
  if (headers->origin == nullptr) return FALSE;
  constexpr std::string_view scheme = "http://";
  std::string_view origin(headers->origin);
  if (headers->host == nullptr || !origin.starts_with(scheme)) return TRUE;
  return !same_text(origin.substr(scheme.size()), headers->host);
}

gchar **zu_http_front_parse_names(const gchar *list) {
  GPtrArray *names = g_ptr_array_new();
  g_auto(GStrv) parts = g_strsplit(list != nullptr ? list : "", ",", -1);
  for (gchar **part = parts; *part != nullptr; part++) {
    g_strstrip(*part);
    if (**part != '\0') g_ptr_array_add(names, g_ascii_strdown(*part, -1));
  }
  g_ptr_array_add(names, nullptr);
  return reinterpret_cast<gchar **>(g_ptr_array_free(names, FALSE));
}
