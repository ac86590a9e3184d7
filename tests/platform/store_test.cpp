#include "platform/store.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

#include "support/temp_dir.h"

namespace tc {
namespace {

namespace fs = std::filesystem;

class StoreTest : public ::testing::Test {
  protected:
    std::string file() const { return test::TempDir::read(path); }
    test::TempDir dir;
    std::string path = dir.file("sub/folder/talkcircle.conf");
    Store store{path};
};

TEST_F(StoreTest, WritesReplaceTheFileWholePrivatelyAndKeepOtherLines) {
    std::string value;
    ASSERT_EQ(store.writeValue(STORE_STARTUP, "/H"), 0); // creates the folders
    // A hand-edited file: a comment, a foreign name, a Windows line end, a name twice.
    std::ofstream(path) << "# mine\nDNS=first\nDNSUpdate=http://u.invalid/?h=x\r\nOther=kept\n"
                           "DNS=last\n";
    auto read = [&](const char* name) { return store.readValue(name, value) ? "absent" : value; };
    EXPECT_EQ(read(STORE_DNS), "last");
    EXPECT_EQ(read(STORE_DNS_UPDATE), "http://u.invalid/?h=x");
    // An empty value is a value.
    ASSERT_FALSE(store.writeValue(STORE_DNS, "new") || store.writeValue(STORE_STARTUP, "") ||
                 store.deleteValue(STORE_DNS_UPDATE));
    EXPECT_EQ(file(), "# mine\nDNS=new\nOther=kept\nStartup=\n");
    // No temporary file is left beside it, and only the owner may read it (it may hold an update
    // URL with credentials).
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("sub/folder")), {}), 1);
    EXPECT_EQ(fs::status(path).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);

    // A folder that cannot be created fails the write.
    std::ofstream(dir.file("plain")) << "not a folder";
    EXPECT_EQ(Store(dir.file("plain/talkcircle.conf")).writeValue(STORE_DNS, "x"), 1);
}

TEST_F(StoreTest, ValuesThatCouldNotBeReadBackAreRefusedAndWritersLoseNothing) {
    std::string longest(STORE_VALUE_LIMIT, 'a');
    // DNS is written first, so the order of the lines is known.
    ASSERT_FALSE(store.writeValue(STORE_STARTUP, longest) || store.writeValue(STORE_DNS, ""));
    EXPECT_EQ(store.writeValue(STORE_STARTUP, longest + "b"), 1);
    EXPECT_EQ(store.writeValue(STORE_STARTUP, "two\nlines"), 1);
    auto writer = [this](const char* name) {
        for (int i = 0; i < 30; ++i)
            store.writeValue(name, name + std::to_string(i));
    };
    std::thread a(writer, STORE_DNS), b(writer, STORE_DNS_UPDATE);
    a.join();
    b.join();
    EXPECT_EQ(file(), "Startup=" + longest + "\nDNS=DNS29\nDNSUpdate=DNSUpdate29\n");
}

} // namespace
} // namespace tc
