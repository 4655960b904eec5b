// A simulated camera of the test's own, inside this test process: a fresh
// temporary folder that is both the platform's state folder
// (ZU_PLATFORM_STATE_DIR) and the working directory, so the service's
// relative key file path lands in it too. The previous working directory
// and environment come back, and the folder goes, on destruction.
#pragma once

#include <optional>
#include <string>

namespace pts_test {

// Whole files and key file values, by path; nullopt when unreadable or absent.
void write_file(const std::string &path, const std::string &text);
std::optional<std::string> read_file(const std::string &path);
std::optional<std::string> key_file_value(const std::string &path, const std::string &group,
                                          const std::string &key);

// A temporary folder of the test's own; it goes, with all in it, on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class SimState {
 public:
  // with_key_dir: create localdata/ for the service's key file.
  explicit SimState(bool with_key_dir = true);
  ~SimState();
  SimState(const SimState &) = delete;
  SimState &operator=(const SimState &) = delete;

  const std::string &dir() const { return folder_.path(); }
  std::string path(const std::string &relative) const { return folder_.file(relative); }

  // Whole files, by path relative to the folder; nullopt when unreadable.
  void write(const std::string &relative, const std::string &text) const {
    write_file(path(relative), text);
  }
  std::optional<std::string> read(const std::string &relative) const { return read_file(path(relative)); }
  bool exists(const std::string &relative) const;
  void remove(const std::string &relative) const;  // files and folders alike

  // One key file value; nullopt when the file, group or key is absent.
  std::optional<std::string> value(const std::string &relative, const std::string &group,
                                   const std::string &key) const {
    return key_file_value(path(relative), group, key);
  }
  // Sets one value, creating the file when needed and keeping the rest.
  void set_value(const std::string &relative, const std::string &group, const std::string &key,
                 const std::string &value) const;

  // The stand-ins' files.
  void set_ocul_fault(const std::string &fault) const { set_value("ocul.conf", "faults", fault, "true"); }
  void set_parameter_fault(const std::string &fault) const {
    set_value("parameters.conf", "faults", fault, "true");
  }
  std::optional<std::string> ocul_mode() const { return value("ocul.conf", "mode", "view_mode.name"); }
  std::optional<std::string> i4_enabled() const {
    return value("parameters.conf", "parameters", "root.Image.I4.Enabled");
  }

 private:
  TempDir folder_;
  std::string previous_cwd_;
  std::optional<std::string> previous_state_dir_;
};

}  // namespace pts_test
