// The program folder of a build folder and of an installed program: the
// per-user folder made once from the installed template, then left alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "common/platform.h"
#include "common/program_folder.h"
#include "support/test_support.h"
#include "common/messages.h"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using test::ReadText;
using test::TempFolder;
using test::WriteText;

// Sets an environment variable for one scope and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// An installed tree: <root>usr/bin/ without Config/, the template in
// <root>usr/share/tarnel/ whose jre is a relative link and whose signapk.jar
// an absolute one, as a package may carry them.
struct Installed {
  TempFolder root;
  std::string bin = root / "usr/bin/";
  std::string templ = root / "usr/share/tarnel/";
  std::string java = root / "usr/lib/jvm/java-17/";
  std::string signapk = root / "usr/share/signapk/signapk.jar";
  std::string data = root / "home/user/.local/share/";  // does not exist yet

  Installed() {
    fs::create_directories(bin);
    fs::create_directories(templ + "Config");
    fs::create_directories(java + "bin");
    fs::create_directories(fs::path(signapk).parent_path());
    WriteText(signapk, "jar");
    WriteText(templ + "Config/FlashConfig.xml", "<FlashConfigs/>\n");
    WriteText(templ + "BurnConfig.ini", "[BurnConfig]\nMemory=512\n");
    fs::create_symlink("../../lib/jvm/java-17", templ + "jre");
    fs::create_symlink(signapk, templ + "Config/signapk.jar");
  }
  [[nodiscard]] ProgramFolderChoice Choose() const {
    return ChooseProgramFolder(bin, InstalledTemplateDir(bin, "../share/tarnel/"), data);
  }
};

TEST(ProgramFolder, BuildFolderOrUninstalledCopyIsTheExecutablesFolder) {
  Installed inst;
  fs::create_directory(inst.bin + "Config");  // a build folder beside an installed template
  ProgramFolderChoice choice = inst.Choose();
  EXPECT_EQ(choice.folder, inst.bin);
  EXPECT_TRUE(choice.error.empty());
  EXPECT_FALSE(fs::exists(inst.data));

  // Neither Config/ nor a template: the executable's folder, whose missing
  // Config/ the start-up checks report as before.
  TempFolder lone;
  choice = ChooseProgramFolder(lone.Path(), InstalledTemplateDir(lone.Path(), "../share/tarnel/"), inst.data);
  EXPECT_EQ(choice.folder, lone.Path());
  EXPECT_TRUE(choice.error.empty());
  EXPECT_FALSE(fs::exists(inst.data));
}

TEST(ProgramFolder, FirstStartCopiesTheEditableFilesAndLinksTheSystemOnes) {
  Installed inst;
  const ProgramFolderChoice choice = inst.Choose();
  const std::string home = inst.data + "tarnel/";
  ASSERT_TRUE(choice.error.empty()) << choice.error;
  EXPECT_EQ(choice.folder, home);
  EXPECT_TRUE(choice.created);

  EXPECT_EQ(ReadText(home + "Config/FlashConfig.xml"), "<FlashConfigs/>\n");
  EXPECT_EQ(ReadText(home + "BurnConfig.ini"), "[BurnConfig]\nMemory=512\n");
  EXPECT_FALSE(fs::is_symlink(home + "Config/FlashConfig.xml"));
  EXPECT_FALSE(fs::is_symlink(home + "BurnConfig.ini"));
  // Links to what the template points at, made absolute, not to the template.
  EXPECT_EQ(fs::read_symlink(home + "jre"), fs::path(inst.java.substr(0, inst.java.size() - 1)));
  EXPECT_EQ(fs::read_symlink(home + "Config/signapk.jar"), fs::path(inst.signapk));
  EXPECT_TRUE(fs::is_directory(home + "jre/bin"));
  EXPECT_EQ(ReadText(home + "Config/signapk.jar"), "jar");
  // Nothing but the folder itself beside it.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(inst.data)) ++entries;
  EXPECT_EQ(entries, 1u);
}

TEST(ProgramFolder, AnExistingFolderIsNeverTouched) {
  Installed inst;
  ASSERT_TRUE(inst.Choose().created);
  const std::string home = inst.data + "tarnel/";
  WriteText(home + "BurnConfig.ini", "[BurnConfig]\nMemory=2048\n");
  WriteText(inst.templ + "Config/FlashConfig.xml", "<FlashConfigs version=\"2\"/>\n");
  fs::remove(home + "jre");

  const ProgramFolderChoice again = inst.Choose();
  EXPECT_EQ(again.folder, home);
  EXPECT_TRUE(again.error.empty());
  EXPECT_FALSE(again.created);
  EXPECT_EQ(ReadText(home + "BurnConfig.ini"), "[BurnConfig]\nMemory=2048\n");
  EXPECT_EQ(ReadText(home + "Config/FlashConfig.xml"), "<FlashConfigs/>\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(home + "jre")));  // damaged stays damaged

  // Even a file in its place is the user's: the start-up checks report it.
  fs::remove_all(home);
  WriteText(inst.data + "tarnel", "not a folder");
  EXPECT_EQ(inst.Choose().folder, home);
  EXPECT_EQ(ReadText(inst.data + "tarnel"), "not a folder");
}

TEST(ProgramFolder, NothingIsMadeWhenItCannotBeMadeWhole) {
  {
    Installed inst;
    fs::remove(inst.templ + "jre");
    const ProgramFolderChoice choice = inst.Choose();
    EXPECT_TRUE(choice.folder.empty());
    EXPECT_EQ(choice.error, "The installed program folder " + inst.templ + " lacks jre!");
    EXPECT_FALSE(fs::exists(inst.data + "tarnel"));
  }
  {
    Installed inst;
    fs::remove(inst.templ + "BurnConfig.ini");
    fs::create_directory(inst.templ + "BurnConfig.ini");  // cannot be copied
    const ProgramFolderChoice choice = inst.Choose();
    EXPECT_EQ(choice.error.rfind("Failed to create the program folder " + inst.data + "tarnel/: ", 0), 0u)
        << choice.error;
    ASSERT_TRUE(fs::is_directory(inst.data));
    EXPECT_TRUE(fs::is_empty(inst.data));  // the half-made folder is gone
  }
  {
    Installed inst;
    WriteText(inst.root / "home", "a file where the home folder should be");
    const ProgramFolderChoice choice = inst.Choose();
    EXPECT_TRUE(choice.folder.empty());
    EXPECT_EQ(choice.error.rfind("Failed to create the program folder ", 0), 0u) << choice.error;
  }
  {
    Installed inst;
    const ProgramFolderChoice choice = ChooseProgramFolder(inst.bin, inst.templ, "");
    EXPECT_TRUE(choice.folder.empty());
    EXPECT_EQ(choice.error, kMsgNoUserDataFolder);
  }
}

TEST(UserDataDir, XdgDataHomeWhenAbsoluteElseUnderHome) {
  ScopedEnv home("HOME", "/home/someone");
  {
    ScopedEnv xdg("XDG_DATA_HOME", "/data/someone");
    EXPECT_EQ(UserDataDir(), "/data/someone/");
  }
  {
    ScopedEnv xdg("XDG_DATA_HOME", "relative/data");  // not absolute: ignored
    EXPECT_EQ(UserDataDir(), "/home/someone/.local/share/");
  }
  {
    ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(UserDataDir(), "/home/someone/.local/share/");
  }
}

}  // namespace
}  // namespace tarnel
