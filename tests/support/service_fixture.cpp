#include "service_fixture.h"
#include "programs.h"
#include "sim_state.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace pts_test {

namespace {

constexpr char kNssWrapper[] = NSS_WRAPPER_LIB;
constexpr char kCallerName[] = "ptscaller";
// Generous: sanitizer builds start slowly on a shared machine.
constexpr gint64 kReadyWaitUs = 30 * G_USEC_PER_SEC;
constexpr gint64 kStopWaitUs = 10 * G_USEC_PER_SEC;

std::string faults_group(const std::vector<std::string> &faults) {
  std::string group = "[faults]\n";
  for (const auto &fault : faults) group += fault + "=true\n";
  return group;
}

}  // namespace

Service::Service() : dir_(side_.file("state")) {
  std::filesystem::create_directories(path("localdata"));
}

Service::~Service() { stop(); }

void Service::set_caller_group(const std::string &group) { caller_group_ = group; }

void Service::remove_key_dir() { std::filesystem::remove_all(path("localdata")); }

void Service::write_ocul(const std::string &current, const std::string &offered,
                         const std::vector<std::string> &faults) {
  std::string text = "[mode]\n";
  if (!current.empty()) text += "view_mode.name=" + current + "\n";
  text += "available_view_modes=" + offered + "\n" + faults_group(faults);
  write_file(path("ocul.conf"), text);
}

void Service::write_parameters(const std::string &i4_enabled, const std::vector<std::string> &faults) {
  write_file(path("parameters.conf"),
             "[parameters]\nroot.Image.I4.Enabled=" + i4_enabled + "\n" + faults_group(faults));
}

void Service::write_key_file(const std::string &contents) {
  write_file(path("localdata/panetessel.conf"), contents);
}

void Service::write_nss_files() {
  write_file(side_.file("passwd"), std::string(kCallerName) + ":x:" + std::to_string(geteuid()) + ":" +
                                   std::to_string(getegid()) + ":caller:/:/bin/false\n");
  std::string groups = "ptsnone:x:4000:\n";
  if (!caller_group_.empty()) groups += caller_group_ + ":x:4001:" + kCallerName + "\n";
  write_file(side_.file("group"), groups);
}

std::vector<std::string> Service::child_environment() const {
  const char *asan = std::getenv("ASAN_OPTIONS");
  // nss_wrapper is preloaded ahead of the sanitizer runtime; leak checking
  // stays as the build has it.
  std::string asan_options = std::string(asan ? asan : "") + (asan ? ":" : "") +
                             "verify_asan_link_order=0";
  return {
      "ZU_PLATFORM_STATE_DIR=" + dir_,
      "DBUS_SYSTEM_BUS_ADDRESS=" + bus_address_,
      "ZU_HTTP_LISTEN=127.0.0.1:0",
      "ZU_HTTP_READY_FILE=" + side_.file("ready-" + std::to_string(run_)),
      "ZU_LOG_STDERR=1",
      std::string("LD_PRELOAD=") + kNssWrapper,
      "NSS_WRAPPER_PASSWD=" + side_.file("passwd"),
      "NSS_WRAPPER_GROUP=" + side_.file("group"),
      "ASAN_OPTIONS=" + asan_options,
  };
}

bool Service::start(const std::string &bus_address) {
  stop();
  const char *binary = pts_test::service_path();
  bus_address_ = bus_address;
  run_++;
  write_nss_files();

  g_autoptr(GSubprocessLauncher) launcher = child_launcher(G_SUBPROCESS_FLAGS_NONE);
  g_subprocess_launcher_set_cwd(launcher, dir_.c_str());
  for (const auto &entry : child_environment()) {
    size_t eq = entry.find('=');
    g_subprocess_launcher_setenv(launcher, entry.substr(0, eq).c_str(), entry.c_str() + eq + 1, TRUE);
  }
  const std::string log = side_.file("stderr-" + std::to_string(run_));
  g_subprocess_launcher_set_stderr_file_path(launcher, log.c_str());

  g_autoptr(GError) error = nullptr;
  process_ = g_subprocess_launcher_spawnv(launcher, program_argv({binary}).data(), &error);
  if (!process_) {
    ADD_FAILURE() << "cannot start " << binary << ": " << error->message;
    return false;
  }
  return wait_ready();
}

bool Service::wait_ready() {
  const std::string ready = side_.file("ready-" + std::to_string(run_));
  gint64 deadline = g_get_monotonic_time() + kReadyWaitUs;
  while (g_get_monotonic_time() < deadline) {
    std::string url = read_file(ready).value_or("");
    g_autoptr(GUri) uri = url.empty() ? nullptr : g_uri_parse(g_strstrip(url.data()), G_URI_FLAGS_NONE, nullptr);
    if (uri && g_uri_get_port(uri) > 0) {
      host_ = g_uri_get_host(uri);
      port_ = g_uri_get_port(uri);
      return true;
    }
    if (!running()) {
      ADD_FAILURE() << "service exited during start:\n" << log_text();
      return false;
    }
    g_usleep(10000);
  }
  ADD_FAILURE() << "service did not get ready:\n" << log_text();
  return false;
}

bool Service::running() const { return process_ && g_subprocess_get_identifier(process_); }

void Service::stop() {
  if (!process_) return;
  if (!running()) {
    ADD_FAILURE() << "service exited on its own:\n" << log_text();
  } else {
    g_subprocess_send_signal(process_, SIGTERM);
    if (!wait_exit(process_, kStopWaitUs)) {
      ADD_FAILURE() << "service ignored SIGTERM";
      g_subprocess_force_exit(process_);
    }
  }
  g_subprocess_wait(process_, nullptr, nullptr);
  g_clear_object(&process_);
  const std::string log = log_text();
  if (log.find("AddressSanitizer") != std::string::npos || log.find("runtime error:") != std::string::npos)
    ADD_FAILURE() << "sanitizer report from the service:\n" << log;
}

std::string Service::api_request(const std::string &method, const std::string &body) const {
  const bool post = method == "POST";
  return http_request(method, kApiPath, post ? std::optional(body) : std::nullopt,
                      "Host: " + host_ + ":" + std::to_string(port_) + "\r\nConnection: close\r\n" +
                          (post ? "Content-Type: application/json\r\n" : ""));
}

HttpAnswer Service::request(const std::string &method, const std::string &body) {
  HttpClient client(port_);
  if (!client.connected()) ADD_FAILURE() << "cannot connect to the service";
  client.send(api_request(method, body));
  return client.read_answer();
}

bool Service::post_and_hang_up(const std::string &body) {
  HttpClient client(port_);
  bool sent = client.send(api_request("POST", body));
  client.reset();
  return sent;
}

std::string Service::key_value(const std::string &relative, const std::string &group,
                               const std::string &key) const {
  return key_file_value(path(relative), group, key).value_or(kAbsent);
}

std::string Service::log_text() const {
  return read_file(side_.file("stderr-" + std::to_string(run_))).value_or("");
}

std::vector<std::string> Service::log_lines() const {
  std::vector<std::string> lines;
  std::istringstream in(log_text());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t Service::log_count(const std::string &line) const {
  auto lines = log_lines();
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

size_t Service::log_count_starting(const std::string &prefix) const {
  auto lines = log_lines();
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string &line) { return line.starts_with(prefix); }));
}

}  // namespace pts_test
