#include "sim_state.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace pts_test {

namespace {
constexpr char kStateVar[] = "ZU_PLATFORM_STATE_DIR";
}

void write_file(const std::string &path, const std::string &text) {
  g_autoptr(GError) error = nullptr;
  if (!g_file_set_contents(path.c_str(), text.data(), text.size(), &error))
    ADD_FAILURE() << "cannot write " << path << ": " << error->message;
}

std::optional<std::string> read_file(const std::string &path) {
  g_autofree gchar *text = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &text, &length, nullptr)) return std::nullopt;
  return std::string(text, length);
}

std::optional<std::string> key_file_value(const std::string &path, const std::string &group,
                                          const std::string &key) {
  g_autoptr(GKeyFile) file = g_key_file_new();
  if (!g_key_file_load_from_file(file, path.c_str(), G_KEY_FILE_NONE, nullptr)) return std::nullopt;
  g_autofree gchar *text = g_key_file_get_string(file, group.c_str(), key.c_str(), nullptr);
  if (!text) return std::nullopt;
  return std::string(text);
}

TempDir::TempDir() {
  g_autoptr(GError) error = nullptr;
  g_autofree gchar *dir = g_dir_make_tmp("pts-test-XXXXXX", &error);
  if (dir)
    path_ = dir;
  else
    ADD_FAILURE() << "no temporary folder: " << error->message;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

SimState::SimState(bool with_key_dir) {
  if (dir().empty()) return;
  g_autofree gchar *cwd = g_get_current_dir();
  previous_cwd_ = cwd;
  if (const gchar *old = g_getenv(kStateVar)) previous_state_dir_ = old;
  g_setenv(kStateVar, dir().c_str(), TRUE);
  if (chdir(dir().c_str()) != 0) ADD_FAILURE() << "cannot enter " << dir();
  if (with_key_dir) std::filesystem::create_directory(path("localdata"));
}

SimState::~SimState() {
  if (!previous_cwd_.empty() && chdir(previous_cwd_.c_str()) != 0)
    ADD_FAILURE() << "cannot return to " << previous_cwd_;
  if (previous_state_dir_)
    g_setenv(kStateVar, previous_state_dir_->c_str(), TRUE);
  else
    g_unsetenv(kStateVar);
}

bool SimState::exists(const std::string &relative) const {
  return std::filesystem::exists(path(relative));
}

void SimState::remove(const std::string &relative) const {
  std::filesystem::remove_all(path(relative));
}

void SimState::set_value(const std::string &relative, const std::string &group,
                         const std::string &key, const std::string &value) const {
  g_autoptr(GKeyFile) file = g_key_file_new();
  g_key_file_load_from_file(file, path(relative).c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
  g_key_file_set_string(file, group.c_str(), key.c_str(), value.c_str());
  g_autoptr(GError) error = nullptr;
  if (!g_key_file_save_to_file(file, path(relative).c_str(), &error))
    ADD_FAILURE() << "cannot write " << relative << ": " << error->message;
}

}  // namespace pts_test
