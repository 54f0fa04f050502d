// The shipped executable: a 32-bit GUI program carrying its icons, manifest and version block.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

#pragma pack(push, 2)
struct IconDirectoryEntry {  // GRPICONDIRENTRY: one image of an icon group resource
  BYTE width, height, colorCount, reserved;
  WORD planes, bitCount;
  DWORD bytesInRes;
  WORD id;
};
struct IconDirectory {
  WORD reserved, type, count;
  IconDirectoryEntry entries[1];
};
#pragma pack(pop)

class ProgramResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(KORVEX_TOOL_EXE, nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << "cannot load " << KORVEX_TOOL_EXE;
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  std::string Resource(const wchar_t *type, const wchar_t *name) {
    HRSRC found = FindResourceW(module_, name, type);
    if (!found) return {};
    const char *data = static_cast<const char *>(LockResource(LoadResource(module_, found)));
    return std::string(data, SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

TEST_F(ProgramResources, IsA32BitGuiExecutable) {
  HANDLE file = CreateFileW(KORVEX_TOOL_EXE, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::vector<unsigned char> head(4096);
  DWORD got = 0;
  ReadFile(file, head.data(), static_cast<DWORD>(head.size()), &got, nullptr);
  CloseHandle(file);
  ASSERT_GE(got, 512u);
  auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(head.data());
  ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
  ASSERT_LT(static_cast<DWORD>(dos->e_lfanew), got - sizeof(IMAGE_NT_HEADERS32));
  auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(head.data() + dos->e_lfanew);
  EXPECT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(ProgramResources, CarriesElevenIconGroupsOf16And32PixelTrueColourImages) {
  for (int id = 201; id <= 211; ++id) {
    const std::string group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(id));
    ASSERT_GE(group.size(), sizeof(IconDirectory)) << "icon group " << id;
    auto *dir = reinterpret_cast<const IconDirectory *>(group.data());
    bool has16 = false, has32 = false;
    for (int i = 0; i < dir->count; ++i) {
      const IconDirectoryEntry &e = dir->entries[i];
      EXPECT_EQ(e.bitCount, 32) << "icon " << id << " image " << i;
      has16 = has16 || e.width == 16;
      has32 = has32 || e.width == 32;
      EXPECT_FALSE(Resource(RT_ICON, MAKEINTRESOURCEW(e.id)).empty()) << "icon " << id;
    }
    EXPECT_TRUE(has16 && has32) << "icon group " << id << " needs 16x16 and 32x32";
    HICON small = static_cast<HICON>(
        LoadImageW(module_, MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(small, nullptr) << "icon " << id << " does not load at 16x16";
    if (small) DestroyIcon(small);
  }
  EXPECT_TRUE(Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(212)).empty()) << "no stray icon groups";
}

TEST_F(ProgramResources, ManifestAsksForCommonControls6DpiAwarenessAndNoElevation) {
  const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
  ASSERT_FALSE(manifest.empty());
  for (const char *needed : {
           "level=\"asInvoker\"", "uiAccess=\"false\"",
           "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
           ">True</dpiAware>",
           "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
       }) {
    EXPECT_NE(manifest.find(needed), std::string::npos) << needed;
  }
}

TEST_F(ProgramResources, VersionBlockNamesTheProductAndTheMaker) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(KORVEX_TOOL_EXE, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(KORVEX_TOOL_EXE, 0, size, block.data()));

  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(9, 2));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 1));
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(9, 2));
  EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(0, 1));

  auto value = [&](const wchar_t *name) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t *text = nullptr;
    UINT units = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void **>(&text), &units)) {
      return std::wstring(L"<missing>");
    }
    return std::wstring(text);
  };
  EXPECT_EQ(value(L"FileVersion"), L"2.9.1.0");
  EXPECT_EQ(value(L"FileDescription"), L"Korvex Firmware Tool");
  EXPECT_EQ(value(L"ProductName"), L"Korvex_tool");
  EXPECT_EQ(value(L"ProductVersion"), L"2.91");
  EXPECT_EQ(value(L"CompanyName"), L"Korvex");
  EXPECT_NE(value(L"LegalCopyright").find(L"Korvex"), std::wstring::npos);
}

}  // namespace
