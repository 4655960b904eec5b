// The real service binary on a simulated camera of its own: a fresh state
// folder (the process's working directory and ZU_PLATFORM_STATE_DIR), a
// passwd/group pair served through nss_wrapper, and an HTTP endpoint on a
// free port. Tests talk to it over real sockets and read its log from
// stderr ("LEVEL: message" lines).
#pragma once

#include <gio/gio.h>

#include <string>
#include <vector>

#include "http_client.h"
#include "sim_state.h"

namespace pts_test {

class Service {
 public:
  Service();  // makes the state folder with localdata/ and an operator caller
  ~Service();  // stops the process and removes the folder
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;

  // --- Before start --------------------------------------------------------
  // The caller's group: "operator", "viewer", or "" for none.
  void set_caller_group(const std::string &group);
  void remove_key_dir();  // no localdata/: the key file cannot be created
  // ocul.conf: [mode] view_mode.name and available_view_modes (a name of ""
  // leaves the key out), plus the named [faults] set to true.
  void write_ocul(const std::string &current, const std::string &offered = "single,quad",
                  const std::vector<std::string> &faults = {});
  void write_parameters(const std::string &i4_enabled, const std::vector<std::string> &faults = {});
  void write_key_file(const std::string &contents);

  // --- Process -------------------------------------------------------------
  // Starts $PTS_SERVICE_BIN against bus_address (a D-Bus address; one that
  // leads nowhere means no system bus) and waits until it listens. After a
  // stop, starting again restarts the service on the same folder.
  bool start(const std::string &bus_address);
  void stop();  // SIGTERM; reports a crash or sanitizer output through gtest
  bool running() const;

  // --- HTTP ------------------------------------------------------------------
  // To the API, on a connection of its own.
  HttpAnswer post(const std::string &body) { return request("POST", body); }
  HttpAnswer request(const std::string &method, const std::string &body);
  // POSTs body and closes at once (with a reset), without reading.
  bool post_and_hang_up(const std::string &body);

  // --- State -----------------------------------------------------------------
  const std::string &dir() const { return dir_; }
  std::string path(const std::string &relative) const { return dir_ + "/" + relative; }
  // A key file value; "<absent>" when the file, group or key is missing.
  std::string key_value(const std::string &relative, const std::string &group,
                        const std::string &key) const;
  std::string ocul_mode() const { return key_value("ocul.conf", "mode", "view_mode.name"); }
  std::string i4_enabled() const {
    return key_value("parameters.conf", "parameters", "root.Image.I4.Enabled");
  }
  std::string stored_mode() const {
    return key_value("localdata/panetessel.conf", "general", "view_mode");
  }

  // --- Log of the current run --------------------------------------------------
  std::vector<std::string> log_lines() const;
  size_t log_count(const std::string &line) const;  // exact "LEVEL: message" lines
  size_t log_count_starting(const std::string &prefix) const;
  std::string log_text() const;

 private:
  std::string api_request(const std::string &method, const std::string &body) const;
  void write_nss_files();
  std::vector<std::string> child_environment() const;
  bool wait_ready();

  TempDir side_;  // the state folder, and beside it the user database, ready files and logs
  std::string dir_;
  std::string bus_address_;
  std::string caller_group_ = "operator";
  std::string host_;
  int port_ = 0;
  int run_ = 0;
  GSubprocess *process_ = nullptr;
};

// A state folder's key file value when it is missing.
inline constexpr char kAbsent[] = "<absent>";

}  // namespace pts_test
