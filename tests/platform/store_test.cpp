#include "platform/store.h"

#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tc {
namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeRaw(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tc_store_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/sub/folder/talkcircle.conf";
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string dir;
    std::string path;
};

TEST_F(StoreTest, MissingFileIsAMissingValueAndWritingCreatesTheFolders) {
    Store store(path);
    std::string value = "stale";
    EXPECT_EQ(store.readValue(STORE_STARTUP, value), 1);
    EXPECT_EQ(value, "");
    EXPECT_EQ(store.deleteValue(STORE_DNS), 0); // nothing to remove
    EXPECT_EQ(folderEntries(dir).size(), 0u);   // and nothing was created for it

    ASSERT_EQ(store.writeValue(STORE_STARTUP, "+ /H MyId 8192"), 0);
    EXPECT_EQ(readAll(path), "Startup=+ /H MyId 8192\n");
    ASSERT_EQ(store.readValue(STORE_STARTUP, value), 0);
    EXPECT_EQ(value, "+ /H MyId 8192");
}

TEST_F(StoreTest, RoundTripReplaceAndDeleteKeepOtherLines) {
    Store store(path);
    ASSERT_EQ(store.createFolder(), 0);
    writeRaw(path, "# my settings\nDNSUpdate=http://example.invalid/u?h=x\r\nOther = kept\n");
    ASSERT_EQ(store.writeValue(STORE_DNS, "me.example.invalid"), 0);
    ASSERT_EQ(store.writeValue(STORE_STARTUP, ""), 0); // an empty value is a value
    ASSERT_EQ(store.writeValue(STORE_DNS, "other.example.invalid"), 0);

    std::string value;
    ASSERT_EQ(store.readValue(STORE_DNS_UPDATE, value), 0);
    EXPECT_EQ(value, "http://example.invalid/u?h=x"); // a Windows line end is not part of it
    ASSERT_EQ(store.readValue(STORE_DNS, value), 0);
    EXPECT_EQ(value, "other.example.invalid");
    ASSERT_EQ(store.readValue(STORE_STARTUP, value), 0);
    EXPECT_EQ(value, "");
    ASSERT_EQ(store.readValue("Other", value), 0);
    EXPECT_EQ(value, " kept");

    ASSERT_EQ(store.deleteValue(STORE_DNS_UPDATE), 0);
    EXPECT_EQ(store.readValue(STORE_DNS_UPDATE, value), 1);
    EXPECT_EQ(readAll(path), "# my settings\nOther = kept\nDNS=other.example.invalid\nStartup=\n");
}

TEST_F(StoreTest, DuplicateNamesReadTheLastAndAWriteLeavesOneWithoutTemporaryFiles) {
    Store store(path);
    ASSERT_EQ(store.createFolder(), 0);
    writeRaw(path, "DNS=first\nStartup=/H\nDNS=second\n");
    std::string value;
    ASSERT_EQ(store.readValue(STORE_DNS, value), 0);
    EXPECT_EQ(value, "second");
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(store.writeValue(STORE_DNS, "third" + std::to_string(i)), 0);
    EXPECT_EQ(readAll(path), "DNS=third19\nStartup=/H\n");
    EXPECT_EQ(folderEntries(dir + "/sub/folder"), std::vector<std::string>{"talkcircle.conf"});
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u); // may hold an update URL with credentials
}

TEST_F(StoreTest, ValuesLongerThanTheReadBufferCountAsAbsent) {
    Store store(path);
    std::string longest(STORE_VALUE_LIMIT, 'a');
    ASSERT_EQ(store.writeValue(STORE_STARTUP, longest), 0);
    std::string value;
    ASSERT_EQ(store.readValue(STORE_STARTUP, value), 0);
    EXPECT_EQ(value, longest);

    // Writing a value that could not be read back is a failure, and the old value stays.
    EXPECT_EQ(store.writeValue(STORE_STARTUP, longest + "b"), 1);
    EXPECT_EQ(store.writeValue(STORE_STARTUP, "two\nlines"), 1);
    ASSERT_EQ(store.readValue(STORE_STARTUP, value), 0);
    EXPECT_EQ(value, longest);

    // A hand-edited value over the limit reads as absent.
    writeRaw(path, "Startup=" + longest + "b\nDNS=ok\n");
    EXPECT_EQ(store.readValue(STORE_STARTUP, value), 1);
    EXPECT_EQ(value, "");
    EXPECT_EQ(store.readValue(STORE_DNS, value), 0);
}

TEST_F(StoreTest, AFolderThatCannotBeCreatedFailsTheWrite) {
    writeRaw(dir + "/plain", "not a folder");
    Store store(dir + "/plain/talkcircle.conf");
    EXPECT_EQ(store.createFolder(), 1);
    EXPECT_EQ(store.writeValue(STORE_DNS, "x"), 1);
    std::string value;
    EXPECT_EQ(store.readValue(STORE_DNS, value), 1);
}

TEST_F(StoreTest, WritersOnTwoThreadsLoseNothing) {
    Store store(path);
    auto writer = [&store](const char* name) {
        for (int i = 0; i < 30; ++i)
            store.writeValue(name, std::string(name) + std::to_string(i));
    };
    std::thread a(writer, STORE_DNS);
    std::thread b(writer, STORE_DNS_UPDATE);
    a.join();
    b.join();
    std::string value;
    ASSERT_EQ(store.readValue(STORE_DNS, value), 0);
    EXPECT_EQ(value, "DNS29");
    ASSERT_EQ(store.readValue(STORE_DNS_UPDATE, value), 0);
    EXPECT_EQ(value, "DNSUpdate29");
}

// Sets an environment variable for the life of the object.
struct ScopedEnv {
    std::string name, saved;
    bool had;
    ScopedEnv(const char* n, const char* value) : name(n), had(getenv(n) != nullptr) {
        if (had) saved = getenv(n);
        setenv(n, value, 1);
    }
    ~ScopedEnv() { had ? setenv(name.c_str(), saved.c_str(), 1) : unsetenv(name.c_str()); }
};

TEST_F(StoreTest, DefaultPathFollowsXdgConfigHomeAndTheChosenPathWins) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv config("XDG_CONFIG_HOME", "/cfg/x");
        EXPECT_EQ(defaultStorePath(), "/cfg/x/talkcircle/talkcircle.conf");
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", "relative/dir"); // not absolute: ignored
        EXPECT_EQ(defaultStorePath(), "/home/someone/.config/talkcircle/talkcircle.conf");
    }
    setStorePath(path);
    EXPECT_EQ(Store().path(), path);
    setStorePath("");
    EXPECT_EQ(storePath(), defaultStorePath());
}

} // namespace
} // namespace tc
