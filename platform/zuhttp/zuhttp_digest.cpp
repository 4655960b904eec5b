#include "zuhttp_digest.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

namespace {

constexpr gsize kIdSize = 12;   // the random part of a nonce
constexpr gsize kTimeSize = 8;  // its time of issue, big-endian
constexpr gsize kMacSize = 16;  // 128 of HMAC-SHA-256's bits, as RFC 4868 truncates it
constexpr gsize kNonceSize = kIdSize + kTimeSize + kMacSize;
constexpr gsize kKeySize = 32;
constexpr gsize kHashSize = 32;  // SHA-256
constexpr gint64 kLifetime = 300 * G_USEC_PER_SEC;
constexpr guint32 kWindow = 64;  // the bits of Entry::taken

// The counts taken of one nonce.
struct Entry {
  guint8 id[kIdSize];
  guint32 top;  // the highest count taken
  gint64 issued;
  guint64 taken;  // bit i: count top - i was taken
};
static_assert(sizeof(Entry) == 32, "the table's memory is stated in the docs");

enum Field {
  kUsername,
  kRealm,
  kNonce,
  kUri,
  kResponse,
  kAlgorithm,
  kQop,
  kNc,
  kCnonce,
  kUserhash,
  kFields
};
constexpr std::string_view kFieldNames[kFields] = {"username", "realm",     "nonce", "uri",
                                                   "response", "algorithm", "qop",   "nc",
                                                   "cnonce",   "userhash"};

struct Credentials {
  std::string field[kFields];
  bool given[kFields] = {};
};

}  // namespace

struct _ZuHttpDigest {
  guint8 key[kKeySize];
  guint8 decoy[ZU_HTTP_HA1_SIZE];  // checked for unknown users, as if known
  gint64 last_issued;              // times of issue only grow, one nonce each
  gint64 forgotten;                // a nonce issued up to this that has no entry may have had one
  guint slots;
  guint used;
  Entry *entries;
  GHashTable *index;  // the entries in use, by id
};

namespace {

gboolean fill_random(guint8 *buffer, gsize size) {
  for (gsize done = 0; done < size;) {
    gssize n = getrandom(buffer + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return FALSE;
    done += n;
  }
  return TRUE;
}

// Compared in constant time: how much of a response or a MAC is right
// must not show in how long the answer takes.
bool same_bytes(const guint8 *a, const guint8 *b, gsize size) {
  guint8 difference = 0;
  for (gsize i = 0; i < size; i++) difference |= a[i] ^ b[i];
  return difference == 0;
}

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string hex(const guint8 *bytes, gsize size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (gsize i = 0; i < size; i++) text += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
  return text;
}

bool unhex(std::string_view text, guint8 *bytes, gsize size) {
  return zu_http_hex_bytes(text.data(), text.size(), bytes, size);
}

void sha256(std::initializer_list<std::string_view> parts, guint8 out[kHashSize]) {
  g_autoptr(GChecksum) sum = g_checksum_new(G_CHECKSUM_SHA256);
  for (std::string_view part : parts)
    g_checksum_update(sum, reinterpret_cast<const guchar *>(part.data()), part.size());
  gsize size = kHashSize;
  g_checksum_get_digest(sum, out, &size);
}

// --- nonces ----------------------------------------------------------------

void nonce_mac(const ZuHttpDigest *digest, const guint8 *nonce, guint8 out[kHashSize]) {
  g_autoptr(GHmac) hmac = g_hmac_new(G_CHECKSUM_SHA256, digest->key, kKeySize);
  g_hmac_update(hmac, nonce, kIdSize + kTimeSize);
  gsize size = kHashSize;
  g_hmac_get_digest(hmac, out, &size);
}

// Whether this front made the nonce (since it started) and it still
// serves; then its id and time of issue.
bool nonce_serves(const ZuHttpDigest *digest, std::string_view text, gint64 now, guint8 *id,
                  gint64 *issued) {
  guint8 nonce[kNonceSize];
  guint8 mac[kHashSize];
  if (!unhex(text, nonce, kNonceSize)) return false;
  nonce_mac(digest, nonce, mac);
  if (!same_bytes(mac, nonce + kIdSize + kTimeSize, kMacSize)) return false;
  guint64 time;
  std::memcpy(&time, nonce + kIdSize, kTimeSize);
  *issued = static_cast<gint64>(GUINT64_FROM_BE(time));
  std::memcpy(id, nonce, kIdSize);
  return now - *issued <= kLifetime;
}

// --- the table of counts ---------------------------------------------------------

guint entry_hash(gconstpointer entry) {
  guint hash;  // the id is random
  std::memcpy(&hash, static_cast<const Entry *>(entry)->id, sizeof hash);
  return hash;
}

gboolean entry_equal(gconstpointer a, gconstpointer b) {
  return std::memcmp(static_cast<const Entry *>(a)->id, static_cast<const Entry *>(b)->id,
                     kIdSize) == 0;
}

// The nonce's entry, made at its first right answer; NULL when its counts
// may have been forgotten. A full table gives up the nonce issued first.
Entry *entry_of(ZuHttpDigest *digest, const guint8 *id, gint64 issued) {
  Entry probe = {};
  std::memcpy(probe.id, id, kIdSize);
  if (auto *entry = static_cast<Entry *>(g_hash_table_lookup(digest->index, &probe))) return entry;
  if (issued <= digest->forgotten) return nullptr;
  Entry *entry = &digest->entries[0];
  if (digest->used < digest->slots) {
    entry = &digest->entries[digest->used++];
  } else {
    for (guint i = 1; i < digest->slots; i++)
      if (digest->entries[i].issued < entry->issued) entry = &digest->entries[i];
    g_hash_table_remove(digest->index, entry);
    digest->forgotten = MAX(digest->forgotten, entry->issued);
  }
  *entry = probe;
  entry->issued = issued;
  entry->taken = 1;  // count 0 is never sent
  g_hash_table_add(digest->index, entry);
  return entry;
}

// Takes the count unless it was taken before or lies below the window.
bool take_count(Entry *entry, guint32 count) {
  if (count > entry->top) {
    guint32 shift = count - entry->top;
    entry->taken = (shift >= kWindow ? 0 : entry->taken << shift) | 1;
    entry->top = count;
    return true;
  }
  guint32 below = entry->top - count;
  if (below >= kWindow || (entry->taken >> below & 1) != 0) return false;
  entry->taken |= G_GUINT64_CONSTANT(1) << below;
  return true;
}

// --- the Authorization value (RFC 7235's auth-params) ------------------------------

bool is_tchar(char c) {
  return g_ascii_isalnum(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

std::string_view take_token(std::string_view &text) {
  size_t n = 0;
  while (n < text.size() && is_tchar(text[n])) n++;
  std::string_view token = text.substr(0, n);
  text.remove_prefix(n);
  return token;
}

void skip_space(std::string_view &text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
}

// A quoted-string, its escapes undone; false when it does not end or holds
// a control character.
bool take_quoted(std::string_view &text, std::string *value) {
  for (text.remove_prefix(1); !text.empty();) {
    char c = text.front();
    text.remove_prefix(1);
    if (c == '"') return true;
    if (c == '\\') {
      if (text.empty()) return false;
      c = text.front();
      text.remove_prefix(1);
    }
    if (g_ascii_iscntrl(c) && c != '\t') return false;
    value->push_back(c);
  }
  return false;
}

bool take_param(std::string_view &text, Credentials *credentials) {
  std::string_view name = take_token(text);
  skip_space(text);
  if (name.empty() || text.empty() || text.front() != '=') return false;
  text.remove_prefix(1);
  skip_space(text);
  std::string value;
  if (!text.empty() && text.front() == '"') {
    if (!take_quoted(text, &value)) return false;
  } else {
    value = take_token(text);
    if (value.empty()) return false;
  }
  skip_space(text);
  if (!text.empty() && text.front() != ',') return false;
  for (int field = 0; field < kFields; field++) {
    if (!same_text(name, kFieldNames[field])) continue;
    if (credentials->given[field]) return false;  // a field twice
    credentials->given[field] = true;
    credentials->field[field] = std::move(value);
  }
  return true;  // fields of no use here are passed over
}

// ASK when the value holds no Digest credentials, MALFORMED when they
// cannot be read, PASSED once they are.
ZuHttpDigestResult parse(std::string_view text, Credentials *credentials) {
  skip_space(text);
  if (!same_text(take_token(text), "Digest")) return ZU_HTTP_DIGEST_ASK;
  if (text.empty() || text.front() != ' ') return ZU_HTTP_DIGEST_MALFORMED;
  for (;;) {
    while (skip_space(text), !text.empty() && text.front() == ',') text.remove_prefix(1);
    if (text.empty()) return ZU_HTTP_DIGEST_PASSED;
    if (!take_param(text, credentials)) return ZU_HTTP_DIGEST_MALFORMED;
  }
}

// Whether the credentials answer this front's challenge for this request:
// every field it asked for, in its form. Then the count and the response.
bool answers_challenge(const Credentials &c, const gchar *target, guint32 *count,
                       guint8 *response) {
  for (Field needed : {kUsername, kRealm, kNonce, kUri, kResponse, kAlgorithm, kQop, kNc, kCnonce})
    if (!c.given[needed] || c.field[needed].empty()) return false;
  guint8 nc[4];
  if (c.field[kRealm] != ZU_HTTP_REALM || !same_text(c.field[kAlgorithm], "SHA-256") ||
      c.field[kQop] != "auth" || c.field[kUri] != target ||
      (c.given[kUserhash] && !same_text(c.field[kUserhash], "false")))
    return false;
  if (!unhex(c.field[kNc], nc, sizeof nc) || !unhex(c.field[kResponse], response, kHashSize))
    return false;
  std::memcpy(count, nc, sizeof nc);
  *count = GUINT32_FROM_BE(*count);
  return *count != 0;
}

}  // namespace

ZuHttpDigest *zu_http_digest_new(guint slots, GError **error) {
  auto *digest = g_new0(ZuHttpDigest, 1);
  if (!fill_random(digest->key, kKeySize) || !fill_random(digest->decoy, sizeof digest->decoy)) {
    int code = errno;
    g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(code), "no random bytes: %s",
                g_strerror(code));
    g_free(digest);
    return nullptr;
  }
  digest->slots = MAX(slots, 1);
  digest->entries = g_new0(Entry, digest->slots);
  digest->index = g_hash_table_new(entry_hash, entry_equal);
  return digest;
}

void zu_http_digest_free(ZuHttpDigest *digest) {
  if (digest == nullptr) return;
  g_hash_table_unref(digest->index);
  g_free(digest->entries);
  g_free(digest);
}

gchar *zu_http_digest_challenge(ZuHttpDigest *digest, gboolean stale, gint64 now) {
  guint8 nonce[kNonceSize];
  guint8 mac[kHashSize];
  // A nonce that anyone could foretell is no nonce: better no answer.
  if (!fill_random(nonce, kIdSize))
    g_error("zuhttp: no random bytes for a nonce: %s", g_strerror(errno));
  digest->last_issued = MAX(now, digest->last_issued + 1);
  guint64 time = GUINT64_TO_BE(static_cast<guint64>(digest->last_issued));
  std::memcpy(nonce + kIdSize, &time, kTimeSize);
  nonce_mac(digest, nonce, mac);
  std::memcpy(nonce + kIdSize + kTimeSize, mac, kMacSize);
  return g_strdup_printf("Digest realm=\"" ZU_HTTP_REALM
                         "\", qop=\"auth\", algorithm=SHA-256, nonce=\"%s\", opaque=\"zuhttp\"%s",
                         hex(nonce, kNonceSize).c_str(), stale ? ", stale=true" : "");
}

// The order of the checks decides what counts as a failed attempt: only a
// response checked against a password can be one, and only a right one
// spends its nonce's count.
ZuHttpDigestResult zu_http_digest_check(ZuHttpDigest *digest, ZuHttpUserFile *users,
                                        const gchar *authorization, const gchar *method,
                                        const gchar *target, gint64 now, gchar **user) {
  if (authorization == nullptr) return ZU_HTTP_DIGEST_ASK;
  Credentials c;
  ZuHttpDigestResult read = parse(authorization, &c);
  if (read != ZU_HTTP_DIGEST_PASSED) return read;
  guint32 count = 0;
  guint8 response[kHashSize];
  if (!answers_challenge(c, target, &count, response)) return ZU_HTTP_DIGEST_MALFORMED;
  guint8 id[kIdSize];
  gint64 issued = 0;
  if (!nonce_serves(digest, c.field[kNonce], now, id, &issued)) return ZU_HTTP_DIGEST_STALE;

  const guint8 *ha1 = zu_http_user_file_ha1(users, c.field[kUsername].c_str());
  guint8 ha2[kHashSize];
  guint8 expected[kHashSize];
  sha256({method, ":", c.field[kUri]}, ha2);
  sha256({hex(ha1 != nullptr ? ha1 : digest->decoy, ZU_HTTP_HA1_SIZE), ":", c.field[kNonce], ":",
          c.field[kNc], ":", c.field[kCnonce], ":", c.field[kQop], ":", hex(ha2, kHashSize)},
         expected);
  if (!same_bytes(expected, response, kHashSize) || ha1 == nullptr) return ZU_HTTP_DIGEST_WRONG;

  Entry *entry = entry_of(digest, id, issued);
  if (entry == nullptr || !take_count(entry, count)) return ZU_HTTP_DIGEST_STALE;
  *user = g_strdup(c.field[kUsername].c_str());
  return ZU_HTTP_DIGEST_PASSED;
}
