// The engine benchmarks leave the caller's look-up out: these answer it at
// once for the engine, which finds the user listed in "admin".
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>

namespace {

char user_name[] = "bench";
char *admin_members[] = {user_name, nullptr};
passwd user;
group admin;

}  // namespace

extern "C" uid_t geteuid() { return 0; }

extern "C" passwd *getpwuid(uid_t) {
  user.pw_name = user_name;
  return &user;
}

extern "C" group *getgrnam(const char *name) {
  admin.gr_mem = admin_members;
  return std::strcmp(name, "admin") == 0 ? &admin : nullptr;
}
