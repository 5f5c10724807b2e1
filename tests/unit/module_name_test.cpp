#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "driver/driver_state.h"

namespace {

struct NameCase {
  const char* path;
  char separator;
  const char* name;
};

TEST(ModuleBaseName, CutsFourCharactersFromTheWholePath) {
  const NameCase cases[] = {
      {"C:\\Program Files\\Host\\plugins\\QV-731.dll", '\\', "QV-731"},
      {"C:\\plugins\\Other.dll", '\\', "Other"},
      {"C:\\plugins\\Other.dl", '\\', "Othe"},  // the extension is not looked at
      {"C:\\plugins\\Q.dl", '\\', ""},          // four characters: nothing left
      {"C:\\plugins\\abc", '\\', "abc"},        // the cut falls in the folder
      {"C:\\plugins\\a", '\\', "a"},
      {"QV-731.dll", '\\', "QV-731"},  // no separator: the whole path
      {"abc", '\\', "abc"},
      {"", '\\', ""},
      {"C:\\plugins\\", '\\', ""},
      {"C:/plugins/QV-731.dll", '\\', "C:/plugins/QV-731"},  // slashes are not separators on Windows
      {"\\\\server\\share\\QV-731.dll", '\\', "QV-731"},
      {"/usr/lib/host/QV-731.dll", '/', "QV-731"},
      {"/usr/lib/host/display.so", '/', "displa"},
  };
  for (const NameCase& c : cases) {
    char name[256];
    ModuleBaseNameFromPath(c.path, c.separator, name, sizeof name);
    EXPECT_STREQ(c.name, name) << c.path;
  }
}

TEST(ModuleBaseName, LongNamesAreCutToTheBuffer) {
  const std::string path = "C:\\plugins\\" + std::string(300, 'n') + ".dll";
  char name[256];
  EXPECT_EQ(255u, ModuleBaseNameFromPath(path.c_str(), '\\', name, sizeof name));
  EXPECT_EQ(std::string(255, 'n'), name);
  char tiny[1];
  EXPECT_EQ(0u, ModuleBaseNameFromPath(path.c_str(), '\\', tiny, sizeof tiny));
  EXPECT_STREQ("", tiny);
}

// Linked into this program, the driver's own module is the program itself,
// never another library of the process.
TEST(ModuleBaseName, IsTheModuleThatHoldsTheDriver) {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  ASSERT_GT(n, 4);
  path[n] = '\0';
  std::string file = path;
  file = file.substr(file.rfind('/') + 1);
  EXPECT_EQ(file.substr(0, file.size() - 4), ModuleBaseName());
  EXPECT_EQ(ModuleBaseName(), ModuleBaseName()) << "cached";
}

}  // namespace
