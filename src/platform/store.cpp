#include "platform/store.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tc {

namespace {

std::mutex storeMutex; // one read-modify-write of a store file at a time
std::mutex pathMutex;
std::string chosenPath;

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// mkdir -p with private permissions for the folders it creates.
int makeFolders(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : 1;
    std::string parent = folderOf(folder);
    if (parent != folder && makeFolders(parent) != 0) return 1;
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return 0;
    return 1;
}

// Reads the whole file. 0 with the content (empty when the file does not exist), 1 when it
// exists but cannot be read.
int readFile(const std::string& path, std::string& content) {
    content.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : 1;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return 1;
        }
        if (n == 0) break;
        content.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return 0;
}

int writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Writes `content` to a temporary file beside `path` and renames it over `path`.
int replaceFile(const std::string& path, const std::string& content) {
    std::string folder = folderOf(path);
    if (makeFolders(folder) != 0) return 1;
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return 1;
    bool ok = writeAll(fd, content) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return 1;
    }
    // Make the rename itself durable; a folder that cannot be synced is not an error.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

struct Line {
    std::string text; // the line as it is in the file, without its line break
    std::string name; // empty when the line is not a value
    std::string value;
};

std::vector<Line> parseLines(const std::string& content) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        Line line;
        line.text = content.substr(start, end - start);
        start = end + 1;
        std::string text = line.text;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        size_t eq = text.find('=');
        if (eq != std::string::npos) {
            size_t first = text.find_first_not_of(" \t");
            size_t last = text.find_last_not_of(" \t", eq == 0 ? 0 : eq - 1);
            if (first < eq && last != std::string::npos && last >= first)
                line.name = text.substr(first, last - first + 1);
            line.value = text.substr(eq + 1);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

bool storable(std::string_view value) {
    return value.size() <= STORE_VALUE_LIMIT && value.find_first_of("\r\n", 0) == value.npos &&
           value.find('\0') == value.npos;
}

} // namespace

Store::Store() : path_(storePath()) {}

Store::Store(std::string path) : path_(std::move(path)) {}

int Store::readValue(std::string_view name, std::string& out) const {
    out.clear();
    std::string content;
    {
        std::lock_guard lock(storeMutex);
        if (readFile(path_, content) != 0) return 1;
    }
    bool found = false;
    std::string value;
    for (const Line& line : parseLines(content)) {
        if (line.name != name) continue;
        found = true; // the last line of a name wins, as after a hand edit
        value = line.value;
    }
    if (!found || value.size() > STORE_VALUE_LIMIT) return 1;
    out = std::move(value);
    return 0;
}

int Store::writeValue(std::string_view name, std::string_view value) {
    if (!storable(value)) return 1;
    std::string text(value);
    return replaceValue(name, &text);
}

int Store::deleteValue(std::string_view name) {
    return replaceValue(name, nullptr);
}

int Store::createFolder() const {
    return makeFolders(folderOf(path_));
}

// Rewrites the file with `name` set to `*value`, or removed when `value` is null. The first
// line of the name is replaced in place, later duplicates are dropped, a new name is appended.
int Store::replaceValue(std::string_view name, const std::string* value) {
    if (name.empty() || name.find_first_of("=\r\n") != name.npos) return 1;
    std::lock_guard lock(storeMutex);
    std::string content;
    if (readFile(path_, content) != 0) return 1; // never replace a file we could not read
    std::string updated;
    bool written = false;
    bool changed = false;
    for (const Line& line : parseLines(content)) {
        if (line.name != name) {
            updated += line.text;
            updated += '\n';
            continue;
        }
        changed = true;
        if (value != nullptr && !written) {
            updated.append(name).append("=").append(*value).append("\n");
            written = true;
        }
    }
    if (value != nullptr && !written) {
        updated.append(name).append("=").append(*value).append("\n");
        changed = true;
    }
    if (!changed) return 0;
    return replaceFile(path_, updated);
}

std::string defaultStorePath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            struct passwd* pw = ::getpwuid(::getuid());
            home = pw != nullptr ? pw->pw_dir : "/tmp";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/talkcircle/talkcircle.conf";
}

std::string storePath() {
    std::lock_guard lock(pathMutex);
    return chosenPath.empty() ? defaultStorePath() : chosenPath;
}

void setStorePath(const std::string& path) {
    std::lock_guard lock(pathMutex);
    chosenPath = path;
}

} // namespace tc
