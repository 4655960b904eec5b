// Prints the access level of the process, optionally after taking another
// effective user id (under uid_wrapper any id may be taken).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "zucgijson.h"

int main(int argc, char **argv) {
  if (argc > 1 && seteuid(static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10))) != 0) {
    std::perror("seteuid");
    return 2;
  }
  std::printf("%u\n", get_access_level());
  return 0;
}
