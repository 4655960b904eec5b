#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "zucgijson.h"

namespace {

constexpr guint32 kLevelNone = 0;
constexpr guint32 kLevelAnonymous = 1;

struct AccessGroup {
  const gchar *name;
  guint32 level;
};

// Searched in this order: the first group that lists the user decides.
constexpr AccessGroup kAccessGroupTable[3] = {
    {"admin", 4},
    {"operator", 3},
    {"viewer", 2},
};

// Only the member list counts; the user's primary group does not.
gboolean lists_member(const struct group *entry, const gchar *user) {
  for (gchar **member = entry->gr_mem; member != nullptr && *member != nullptr; member++)
    if (g_strcmp0(*member, user) == 0) return TRUE;
  return FALSE;
}

}  // namespace

guint32 get_access_level(void) {
  const struct passwd *user = getpwuid(geteuid());
  if (user == nullptr) return kLevelNone;
  if (g_strcmp0(user->pw_name, "anonymous") == 0) return kLevelAnonymous;

  // Keep the name apart from libc's buffer while groups are looked up.
  g_autofree gchar *name = g_strdup(user->pw_name);
  for (const auto &row : kAccessGroupTable) {
    const struct group *entry = getgrnam(row.name);
    if (entry != nullptr && lists_member(entry, name)) return row.level;
  }
  return kLevelNone;
}
