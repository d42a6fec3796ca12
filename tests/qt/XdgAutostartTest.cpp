#include "platform/XdgAutostart.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

class XdgAutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/peltwick-autostart.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root_ = templ;
        setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(root_);
    }

    fs::path root_;
    XdgAutostart autostart_{"app.peltwick.importer", "Peltwick Importer"};
};

TEST_F(XdgAutostartTest, RegisterWritesAnEntryForTheRunningProgram) {
    const fs::path entry = root_ / "config/autostart/app.peltwick.importer.desktop";
    EXPECT_EQ(autostart_.entryPath(), entry.string());
    EXPECT_EQ(autostart_.status(), LoginItemService::Status::notRegistered);

    ASSERT_EQ(autostart_.registerItem(), std::nullopt);
    const std::string text = readFile(entry);
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    EXPECT_NE(text.find("\nExec=\"" + self + "\"\n"), std::string::npos) << text;
    for (const char* line :
         {"\nType=Application\n", "\nName=Peltwick Importer\n", "\nX-GNOME-Autostart-Delay=5\n",
          "\nX-KDE-autostart-after=panel\n", "\nX-LXQt-Need-Tray=true\n", "\nIcon=app.peltwick.importer\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(autostart_.status(), LoginItemService::Status::enabled);
    // Written through a temporary file that is renamed into place: nothing else is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(entry.parent_path()), fs::directory_iterator()), 1);

    ASSERT_EQ(autostart_.unregisterItem(), std::nullopt);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(autostart_.status(), LoginItemService::Status::notRegistered);
    EXPECT_EQ(autostart_.unregisterItem(), std::nullopt); // already gone
}

TEST_F(XdgAutostartTest, StatusFollowsTheDisablingKeysOfTheEntryGroup) {
    const fs::path folder = root_ / "config/autostart";
    fs::create_directories(folder);
    const fs::path entry = folder / "app.peltwick.importer.desktop";
    const auto statusOf = [&](const std::string& text) {
        writeFile(entry, text);
        return autostart_.status() == LoginItemService::Status::enabled ? 1 : 0;
    };
    EXPECT_EQ(statusOf("[Desktop Entry]\nExec=x\n"), 1);
    EXPECT_EQ(statusOf("[Desktop Entry]\nHidden=true\n"), 0);
    EXPECT_EQ(statusOf("[Desktop Entry]\nHidden = true\n"), 0);
    EXPECT_EQ(statusOf("[Desktop Entry]\nHidden=false\n"), 1);
    EXPECT_EQ(statusOf("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n"), 0);
    EXPECT_EQ(statusOf("[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n"), 1);
    EXPECT_EQ(statusOf("[Desktop Action other]\nHidden=true\n[Desktop Entry]\nExec=x\n"), 1);
    EXPECT_EQ(statusOf("# Hidden=true\n[Desktop Entry]\nExec=x\n"), 1);

    // Registering again replaces an entry the user had disabled.
    writeFile(entry, "[Desktop Entry]\nHidden=true\n");
    ASSERT_EQ(autostart_.registerItem(), std::nullopt);
    EXPECT_EQ(autostart_.status(), LoginItemService::Status::enabled);
}

TEST_F(XdgAutostartTest, FailuresCarryTheSystemsDescription) {
    // The config folder is a plain file, so no folder can be made inside it.
    writeFile(root_ / "config", "not a folder");
    const std::optional<std::string> failure = autostart_.registerItem();
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->find("Not a directory"), std::string::npos) << *failure;
    EXPECT_NE(failure->find((root_ / "config").string()), std::string::npos) << *failure;
    EXPECT_EQ(autostart_.status(), LoginItemService::Status::notRegistered);

    // A folder in the place of the entry: off, and turning on says what stands in the way and
    // leaves everything as it was. It cannot be removed as a file either.
    fs::remove(root_ / "config");
    const fs::path entry = root_ / "config/autostart/app.peltwick.importer.desktop";
    fs::create_directories(entry / "inner");
    EXPECT_EQ(autostart_.status(), LoginItemService::Status::notRegistered);
    EXPECT_EQ(autostart_.registerItem(), "Cannot write " + entry.string() + ": it is a folder; remove or rename it.");
    EXPECT_TRUE(fs::is_directory(entry / "inner"));
    EXPECT_EQ(std::distance(fs::directory_iterator(entry.parent_path()), fs::directory_iterator()), 1);
    const std::optional<std::string> removal = autostart_.unregisterItem();
    ASSERT_TRUE(removal.has_value());
    EXPECT_NE(removal->find("Is a directory"), std::string::npos) << *removal;
}

TEST_F(XdgAutostartTest, ExecArgumentIsQuotedAndEscaped) {
    EXPECT_EQ(XdgAutostart::quoteExecArgument("/opt/My Apps/PeltwickImporter"), "\"/opt/My Apps/PeltwickImporter\"");
    // Inside quotes: \" \` \$ \\ ; then the string escapes double every backslash.
    EXPECT_EQ(XdgAutostart::quoteExecArgument("/a\"b`c$d\\e"), R"("/a\\"b\\`c\\$d\\\\e")");
    EXPECT_EQ(XdgAutostart::quoteExecArgument("/100%/x"), "\"/100%%/x\"");
    EXPECT_EQ(XdgAutostart::quoteExecArgument("/a\nb"), "\"/a\\nb\"");

    // Relative XDG_CONFIG_HOME values are invalid: ~/.config is used instead.
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    setenv("HOME", (root_ / "home").c_str(), 1);
    EXPECT_EQ(autostart_.entryPath(), (root_ / "home/.config/autostart/app.peltwick.importer.desktop").string());
}

} // namespace
