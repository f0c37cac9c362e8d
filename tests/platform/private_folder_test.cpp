// The folder an elevated installer downloads into: made with a DACL that lets only
// Administrators and SYSTEM write, and never one that somebody else made first.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/files.h"
#include "platform/private_folder.h"
#ifdef _WIN32
#include "platform/private_folder_win32.h"
#endif
#include "tests/support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace {

struct SecurityOf {
  explicit SecurityOf(const std::string& path) {
    ok = ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                 nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS;
  }
  ~SecurityOf() { ::LocalFree(descriptor); }
  // The DACL as SDDL, e.g. "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)".
  std::string Sddl() const {
    char* text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &text, nullptr))
      return "";
    std::string sddl = text;
    ::LocalFree(text);
    return sddl;
  }
  bool ok = false;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
};

class PrivateFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent = testing_support::UniqueName("private");
    ASSERT_TRUE(::CreateDirectoryA(parent.c_str(), nullptr));
  }
  void TearDown() override {
    for (const char* name : {"\\Vantreo\\inside.bin", "\\Vantreo", "\\Vantreo.1"}) {
      std::string path = parent + name;
      ::DeleteFileA(path.c_str());
      ::RemoveDirectoryA(path.c_str());
    }
    ::RemoveDirectoryA(parent.c_str());
  }
  std::string parent;
};

// Descriptors as the folder check judges them; Wine keeps no descriptor of a folder (it
// answers with one made from the Unix mode), so what the check decides is tested here.
TEST(PrivateFolderSecurity, OnlyAdministratorsSystemAndOurOwnerMayWrite) {
  struct Case {
    const char* sddl;
    bool trusted;
  } cases[] = {
      {platform::kPrivateFolderSddl, true},
      {"O:SYD:P(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)", true},  // everyone may read
      {"O:BAD:(D;OICI;FA;;;WD)(A;OICI;FA;;;SY)", true},         // a deny entry
      {"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)", false},       // everyone may write
      {"O:BAD:P(A;OICI;FA;;;BA)(A;;0x2;;;BU)", false},          // users may add files
      {"O:BAD:P(A;OICI;FA;;;BA)(A;;0x40000;;;AU)", false},      // may rewrite the DACL
      {"O:BAD:P(A;OICI;FA;;;BA)(A;;0x10000;;;BU)", false},      // may delete or rename it
      {"O:BUD:P(A;OICI;FA;;;BA)", false},                       // a users' folder
      {"O:BA", false},                                          // no DACL: no limits
      {"O:S-1-5-21-1-2-3-1000D:P(A;;FA;;;BA)", false},          // a user's own folder
      {"O:BAD:P(A;;FA;;;BA)(A;;FA;;;S-1-5-21-1-2-3-1000)", false},
  };
  for (const Case& c : cases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl, SDDL_REVISION_1,
                                                                       &descriptor, nullptr))
        << c.sddl;
    EXPECT_EQ(platform::OnlyTrustedCanWrite(descriptor, nullptr), c.trusted) << c.sddl;
    ::LocalFree(descriptor);
  }
}

TEST_F(PrivateFolderTest, IsMadeWithTheAskedDaclAndUsedAgainOnTheNextRun) {
  const std::string folder = platform::PrivateFolderIn(parent);
  ASSERT_EQ(folder, parent + "\\Vantreo\\");
  SecurityOf security(folder);
  ASSERT_TRUE(security.ok);
  // Administrators own it on Windows; Wine reports the user (see OwnOwner).
  EXPECT_TRUE(platform::OnlyTrustedCanWrite(security.descriptor, security.owner))
      << security.Sddl();
  std::printf("asked: %s\nthe system reports: %s\n", platform::kPrivateFolderSddl,
              security.Sddl().c_str());
  EXPECT_EQ(platform::PrivateFolderIn(parent), folder) << "its own folder is used again";
}

TEST_F(PrivateFolderTest, ANameTakenByAnythingElseIsLeftAloneForAFreshOne) {
  // Something that is not a folder of ours: a file planted under the folder's name.
  const std::string planted = parent + "\\Vantreo";
  ASSERT_TRUE(testing_support::WriteFile(planted, "planted"));
  EXPECT_EQ(platform::PrivateFolderIn(parent), parent + "\\Vantreo.1\\");
  EXPECT_EQ(testing_support::ReadFile(planted), "planted") << "what was there stays";
}

TEST_F(PrivateFolderTest, AProbeNameTakenInAdvanceStopsNothing) {
  // The name a probe once had (it carried the process id) is no longer the one used.
  const std::string planted = parent + "\\Vantreo.probe" + std::to_string(::GetCurrentProcessId());
  ASSERT_TRUE(::CreateDirectoryA(planted.c_str(), nullptr));
  EXPECT_EQ(platform::PrivateFolderIn(parent), parent + "\\Vantreo\\");
  ::RemoveDirectoryA(planted.c_str());
  // Whatever name is taken, another is asked for, a few times, then it gives up.
  const std::string base = parent + "\\";
  ASSERT_TRUE(::CreateDirectoryA((base + "taken").c_str(), nullptr));
  ASSERT_TRUE(testing_support::WriteFile(base + "taken-file", "x"));
  struct Case {
    const char* what;
    std::vector<std::string> names;
    std::string made;
  } cases[] = {
      {"a free name", {"free"}, base + "free"},
      {"taken by a folder, then free", {"taken", "free"}, base + "free"},
      {"taken by a file, then by a folder, then free", {"taken-file", "taken", "free"},
       base + "free"},
      {"always taken", std::vector<std::string>(100, "taken"), ""},
      {"no name to give", {""}, ""},
  };
  for (const Case& c : cases) {
    size_t asked = 0;
    const std::string made = platform::MakeProbeFolder(base, [&] { return c.names[asked++]; });
    EXPECT_EQ(made, c.made) << c.what;
    EXPECT_LT(asked, 20u) << c.what << ": gives up after a few tries";
    ::RemoveDirectoryA((base + "free").c_str());
  }
  ::RemoveDirectoryA((base + "taken").c_str());
  ::DeleteFileA((base + "taken-file").c_str());
}

TEST(DownloadFolderTest, IsPrivateWhenElevatedElseTheTemporaryFolder) {
  const std::string folder = platform::DownloadFolder();
  std::printf("elevated: %d, download folder: %s\n", platform::ProcessIsElevated() ? 1 : 0,
              folder.c_str());
  if (!platform::ProcessIsElevated()) {
    EXPECT_EQ(folder, platform::TempFolder());
  } else {
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.find("\\Vantreo"), std::string::npos) << folder;
  }
}

}  // namespace

#else

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

// What is found under the folder's name before the call, and whether it is then used.
TEST(PrivateFolderTest, OnlyAFolderOfTheUsersOwnThatNobodyElseCouldWriteIsUsed) {
  const std::string target = testing_support::UniqueName("private-target");
  ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
  const auto ownFolder = [](mode_t mode) {
    return [mode](const std::string& folder) {
      mkdir(folder.c_str(), 0700);
      chmod(folder.c_str(), mode);
    };
  };
  struct Case {
    const char* what;
    std::function<void(const std::string& folder)> plant;
    bool used;
  } cases[] = {
      {"nothing: made", [](const std::string&) {}, true},
      {"the user's own, readable by all: kept, closed to others", ownFolder(0755), true},
      {"the user's own, writable by all", ownFolder(0777), false},
      {"the user's own, writable by the group", ownFolder(0770), false},
      {"a link to a private folder",
       [&](const std::string& folder) { ASSERT_EQ(symlink(target.c_str(), folder.c_str()), 0); },
       false},
      {"a file", [](const std::string& folder) { testing_support::WriteFile(folder, "x"); },
       false},
      // Only root can give a folder away; for anyone else this case is the first one's.
      {"another user's folder", [](const std::string& folder) {
         mkdir(folder.c_str(), 0700);
         if (geteuid() == 0) {
           ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
         }
       }, geteuid() != 0},
  };
  for (const Case& c : cases) {
    const std::string top = testing_support::UniqueName("cache");
    const std::string parent = top + "/nested", folder = parent + "/vantreo";
    ASSERT_EQ(mkdir(top.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
    c.plant(folder);
    const mode_t before = ModeOf(folder);
    const std::string chosen = platform::PrivateFolderIn(parent);
    if (c.used) {
      EXPECT_EQ(chosen, folder + "/") << c.what;
      EXPECT_TRUE(S_ISDIR(ModeOf(folder))) << c.what;
      EXPECT_EQ(ModeOf(folder) & 0777, 0700u) << c.what;
    } else {
      EXPECT_EQ(chosen, "") << c.what;
      EXPECT_EQ(ModeOf(folder), before) << c.what << ": what was there is left as it was";
    }
    std::filesystem::remove_all(top);
  }
  EXPECT_EQ(ModeOf(target) & 0777, 0700u) << "the link's target is untouched";
  rmdir(target.c_str());
}

TEST(PrivateFolderTest, MissingCacheFoldersAreMadePrivate) {
  const std::string top = testing_support::UniqueName("cache-top");
  EXPECT_EQ(platform::PrivateFolderIn(top + "/a"), top + "/a/vantreo/");
  EXPECT_EQ(ModeOf(top) & 0777, 0700u);
  EXPECT_EQ(ModeOf(top + "/a") & 0777, 0700u);
  std::filesystem::remove_all(top);
}

TEST(PrivateFolderTest, NativeBuildDownloadsToTheUsersCacheFolder) {
  EXPECT_FALSE(platform::ProcessIsElevated());
  // The test's environment names its own cache folder (see tests/platform/CMakeLists.txt).
  const char* cache = std::getenv("XDG_CACHE_HOME");
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(platform::DownloadFolder(), std::string(cache) + "/vantreo/");
  EXPECT_NE(platform::DownloadFolder(), platform::TempFolder());
}

}  // namespace

#endif
