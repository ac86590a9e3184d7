#pragma once
#include <string>
#include <string_view>

namespace tc {

// Names of the stored values.
constexpr const char* STORE_STARTUP = "Startup";
constexpr const char* STORE_DNS_UPDATE = "DNSUpdate";
constexpr const char* STORE_DNS = "DNS";

// The longest value that is read back (a 254-byte buffer including the terminating NUL).
constexpr size_t STORE_VALUE_LIMIT = 253;

// The persistent key-value store: a text file with one `Name=value` line per value. Every
// write replaces the whole file atomically (temporary file in the same folder, fsync, rename),
// so a crash never leaves half a file. Lines that are not values of ours (comments, other
// names) are kept as they are. Writes from different threads are serialised.
class Store {
  public:
    // A store over `path`; by default the process-wide store file (storePath()).
    Store();
    explicit Store(std::string path);

    // 0 and the value in `out` when present; 1 when the file or the value is missing, the file
    // cannot be read, or the value is longer than STORE_VALUE_LIMIT (such a value counts as
    // absent). `out` is emptied on 1.
    int readValue(std::string_view name, std::string& out) const;
    // Stores the value (creating the folder and file when missing). 0 done, 1 failure; a value
    // longer than STORE_VALUE_LIMIT or holding a line break or NUL is refused, since it could
    // not be read back as written.
    int writeValue(std::string_view name, std::string_view value);
    // Removes the value; a value that is not there is already removed. 0 done, 1 failure.
    int deleteValue(std::string_view name);
    // Creates the folder of the store file when missing (the "create or open the key" step of
    // the commands that write). 0 done, 1 failure.
    int createFolder() const;

    const std::string& path() const { return path_; }

  private:
    int replaceValue(std::string_view name, const std::string* value);

    std::string path_;
};

// $XDG_CONFIG_HOME/talkcircle/talkcircle.conf, or ~/.config/talkcircle/talkcircle.conf when
// the variable is unset (or not an absolute path).
std::string defaultStorePath();

// The process-wide store file: the one given with setStorePath (--config=FILE), or the default.
std::string storePath();
// Empty = the default path again.
void setStorePath(const std::string& path);

} // namespace tc
