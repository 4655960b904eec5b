#include "test_paths.h"

#include <glib.h>

namespace pts_test {

const char *simulator_path() {
  const char *path = g_getenv("PTS_AUTOROTATION_SIM");
  return path ? path : PTS_AUTOROTATION_SIM_PATH;
}

const char *service_path() {
  const char *path = g_getenv("PTS_SERVICE_BIN");
  return path ? path : PTS_SERVICE_BIN_PATH;
}

}  // namespace pts_test
