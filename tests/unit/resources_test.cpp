// Checks what Explorer, the loader and the version APIs will see in the built
// Tolvar-Setup.exe: its icon, manifest, version block and PE header. The path
// of the executable comes from TOLVAR_SETUP_EXE; without it the tests skip.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const WORD k_lang_us = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The RT_* macros change type with UNICODE; only their numbers matter here.
WORD rt(const void* type)
{
    return static_cast<WORD>(reinterpret_cast<uintptr_t>(type));
}

struct expected_icon {
    unsigned size;
    WORD id;
};

const expected_icon k_icons[] = {
    {256, 1}, {64, 2}, {48, 3}, {32, 4}, {24, 5}, {16, 6},
};

const std::map<std::wstring, std::wstring> k_version_strings = {
    {L"CompanyName", L"Project Tolvar"},
    {L"FileDescription", L"Project Tolvar setup"},
    {L"ProductName", L"Project Tolvar"},
    {L"FileVersion", L"1.0.0"},
    {L"OriginalFilename", L"Tolvar-Setup.exe"},
};

unsigned read_u16(const std::string& b, size_t at)
{
    if (at + 2 > b.size())
        return 0;
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8;
}

uint32_t read_u32(const std::string& b, size_t at)
{
    if (at + 4 > b.size())
        return 0;
    uint32_t low = read_u16(b, at);
    uint32_t high = read_u16(b, at + 2);
    return low | high << 16;
}

uint32_t read_u32_be(const std::string& b, size_t at)
{
    if (at + 4 > b.size())
        return 0;
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

std::string read_file(const std::wstring& path)
{
    std::string bytes;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f)
        return bytes;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.append(chunk, got);
    fclose(f);
    return bytes;
}

// The start tag of the element that contains text position `at`.
std::string start_tag_around(const std::string& xml, size_t at)
{
    size_t open = xml.rfind('<', at);
    size_t close = xml.find('>', at);
    if (open == std::string::npos || close == std::string::npos)
        return std::string();
    return xml.substr(open, close - open + 1);
}

// Whether position `at` lies between <name ...> and </name>.
bool inside_element(const std::string& xml, size_t at, const std::string& name)
{
    size_t open = xml.rfind("<" + name, at);
    if (open == std::string::npos)
        return false;
    size_t close = xml.find("</" + name + ">", open);
    return close != std::string::npos && close > at;
}

// One node of a raw VS_VERSIONINFO tree.
struct version_node {
    std::wstring key;
    unsigned type = 0;
    std::string value; // raw bytes as stored
    std::vector<version_node> children;
};

size_t align4(size_t at)
{
    return (at + 3) & ~static_cast<size_t>(3);
}

// Parses the node at `at`; offsets are relative to the start of the resource,
// which the loader keeps 32-bit aligned, so padding is computed from there.
bool parse_version_node(const std::string& b, size_t at, version_node* out, size_t* next)
{
    if (at + 6 > b.size())
        return false;
    size_t length = read_u16(b, at);
    size_t value_length = read_u16(b, at + 2);
    out->type = read_u16(b, at + 4);
    size_t end = at + length;
    if (length < 6 || end > b.size())
        return false;
    size_t p = at + 6;
    for (;;) {
        if (p + 2 > end)
            return false;
        unsigned c = read_u16(b, p);
        p += 2;
        if (c == 0)
            break;
        out->key.push_back(static_cast<wchar_t>(c));
    }
    p = align4(p);
    size_t value_bytes = out->type == 1 ? value_length * 2 : value_length;
    if (p + value_bytes > end)
        return false;
    out->value = b.substr(p, value_bytes);
    p = align4(p + value_bytes);
    while (p < end) {
        version_node child;
        size_t after = 0;
        if (!parse_version_node(b, p, &child, &after))
            return false;
        out->children.push_back(child);
        p = align4(after);
    }
    *next = end;
    return true;
}

std::wstring text_value(const version_node& node)
{
    std::wstring s;
    for (size_t i = 0; i + 1 < node.value.size(); i += 2) {
        unsigned c = read_u16(node.value, i);
        if (c == 0)
            break;
        s.push_back(static_cast<wchar_t>(c));
    }
    return s;
}

std::vector<const version_node*> children_named(const version_node& node, const wchar_t* key)
{
    std::vector<const version_node*> found;
    for (const version_node& child : node.children)
        if (child.key == key)
            found.push_back(&child);
    return found;
}

BOOL CALLBACK collect_language(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR param)
{
    reinterpret_cast<std::vector<WORD>*>(param)->push_back(lang);
    return TRUE;
}

class resources_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t buffer[MAX_PATH * 4];
        DWORD n = GetEnvironmentVariableW(L"TOLVAR_SETUP_EXE", buffer, MAX_PATH * 4);
        if (n == 0 || n >= MAX_PATH * 4)
            GTEST_SKIP() << "TOLVAR_SETUP_EXE is not set";
        path_.assign(buffer, n);
        module_ = LoadLibraryExW(path_.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot load " << path_ << ", error " << GetLastError();
    }

    void TearDown() override
    {
        if (module_)
            FreeLibrary(module_);
    }

    // The bytes of the US English resource, or an empty string.
    std::string resource(WORD type, WORD id) const
    {
        HRSRC found =
            FindResourceExW(module_, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(id), k_lang_us);
        if (!found)
            return std::string();
        HGLOBAL loaded = LoadResource(module_, found);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (!data)
            return std::string();
        return std::string(static_cast<const char*>(data), SizeofResource(module_, found));
    }

    std::wstring path_;
    HMODULE module_ = nullptr;
};

TEST_F(resources_test, executable_is_x86_64_gui)
{
    std::string pe = read_file(path_);
    ASSERT_GE(pe.size(), 0x40u);
    ASSERT_EQ(pe.compare(0, 2, "MZ"), 0);
    size_t nt = read_u32(pe, 0x3c);
    ASSERT_LT(nt + 24 + 70, pe.size());
    ASSERT_EQ(pe.compare(nt, 4, std::string("PE\0\0", 4)), 0);
    EXPECT_EQ(read_u16(pe, nt + 4), unsigned{IMAGE_FILE_MACHINE_AMD64});
    unsigned characteristics = read_u16(pe, nt + 22);
    EXPECT_TRUE(characteristics & IMAGE_FILE_EXECUTABLE_IMAGE);
    EXPECT_FALSE(characteristics & IMAGE_FILE_DLL);
    size_t optional = nt + 24;
    EXPECT_EQ(read_u16(pe, optional), unsigned{IMAGE_NT_OPTIONAL_HDR64_MAGIC});
    EXPECT_EQ(read_u16(pe, optional + offsetof(IMAGE_OPTIONAL_HEADER64, Subsystem)),
              unsigned{IMAGE_SUBSYSTEM_WINDOWS_GUI});
}

TEST_F(resources_test, icon_group_holds_six_png_sizes)
{
    const size_t n = sizeof k_icons / sizeof k_icons[0];
    std::string group = resource(rt(RT_GROUP_ICON), 1);
    ASSERT_GE(group.size(), 6 + 14 * n);
    EXPECT_EQ(read_u16(group, 0), 0u);
    EXPECT_EQ(read_u16(group, 2), 1u); // icons, not cursors
    ASSERT_EQ(read_u16(group, 4), n);
    for (size_t i = 0; i < n; ++i) {
        const expected_icon& want = k_icons[i];
        SCOPED_TRACE(testing::Message() << want.size << " px entry");
        size_t e = 6 + 14 * i;
        unsigned width = static_cast<unsigned char>(group[e]);
        unsigned height = static_cast<unsigned char>(group[e + 1]);
        EXPECT_EQ(width ? width : 256u, want.size);
        EXPECT_EQ(height ? height : 256u, want.size);
        EXPECT_EQ(read_u16(group, e + 4), 1u); // planes
        EXPECT_EQ(read_u16(group, e + 6), 32u);
        ASSERT_EQ(read_u16(group, e + 12), want.id);

        std::string image = resource(rt(RT_ICON), want.id);
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(read_u32(group, e + 8), image.size());
        ASSERT_GE(image.size(), 33u);
        EXPECT_EQ(image.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
        EXPECT_EQ(read_u32_be(image, 8), 13u);
        EXPECT_EQ(image.compare(12, 4, "IHDR"), 0);
        EXPECT_EQ(read_u32_be(image, 16), want.size);
        EXPECT_EQ(read_u32_be(image, 20), want.size);
        EXPECT_EQ(static_cast<unsigned char>(image[24]), 8u); // bits per channel
        EXPECT_EQ(static_cast<unsigned char>(image[25]), 6u); // RGBA
    }
}

TEST_F(resources_test, manifest_requests_common_controls_v6_as_invoker_dpi_aware)
{
    std::string xml = resource(rt(RT_MANIFEST), 1);
    ASSERT_FALSE(xml.empty());

    size_t level = xml.find("<requestedExecutionLevel");
    ASSERT_NE(level, std::string::npos);
    std::string tag = start_tag_around(xml, level + 1);
    EXPECT_NE(tag.find("level=\"asInvoker\""), std::string::npos) << tag;
    EXPECT_NE(tag.find("uiAccess=\"false\""), std::string::npos) << tag;
    EXPECT_TRUE(inside_element(xml, level, "trustInfo"));

    size_t controls = xml.find("name=\"Microsoft.Windows.Common-Controls\"");
    ASSERT_NE(controls, std::string::npos);
    tag = start_tag_around(xml, controls);
    EXPECT_EQ(tag.compare(0, 17, "<assemblyIdentity"), 0) << tag;
    for (const char* attribute :
         {"type=\"win32\"", "version=\"6.0.0.0\"", "processorArchitecture=\"*\"", "language=\"*\"",
          "publicKeyToken=\"6595b64144ccf1df\""})
        EXPECT_NE(tag.find(attribute), std::string::npos) << attribute << " missing in " << tag;
    EXPECT_TRUE(inside_element(xml, controls, "dependentAssembly"));

    size_t dpi = xml.find("<dpiAware");
    ASSERT_NE(dpi, std::string::npos);
    tag = start_tag_around(xml, dpi + 1);
    const char* value = "true</dpiAware>";
    EXPECT_EQ(xml.compare(dpi + tag.size(), std::strlen(value), value), 0);
    const char* ns = "xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\"";
    bool ns_on_element = tag.find(ns) != std::string::npos;
    bool ns_on_parent =
        inside_element(xml, dpi, "windowsSettings") &&
        start_tag_around(xml, xml.rfind("<windowsSettings", dpi) + 1).find(ns) != std::string::npos;
    EXPECT_TRUE(ns_on_element || ns_on_parent)
        << "dpiAware outside the 2005 WindowsSettings namespace";
}

TEST_F(resources_test, version_block_is_1_0_0_0_with_exactly_five_strings)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0u);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, 0u);
    EXPECT_EQ(fixed->dwFileType, 0u);
    EXPECT_EQ(fixed->dwFileSubtype, 0u);

    for (const auto& entry : k_version_strings) {
        std::wstring query = L"\\StringFileInfo\\040904b0\\" + entry.first;
        wchar_t* value = nullptr;
        UINT chars = 0;
        ASSERT_TRUE(
            VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars))
            << entry.first;
        EXPECT_EQ(std::wstring(value), entry.second) << entry.first;
    }

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x409);
    EXPECT_EQ(translation[1], 1200);

    // VerQueryValueW only answers for keys it is asked about; extra strings
    // show up only when walking the raw block.
    std::string raw = resource(rt(RT_VERSION), 1);
    ASSERT_FALSE(raw.empty());
    version_node root;
    size_t end = 0;
    ASSERT_TRUE(parse_version_node(raw, 0, &root, &end));
    EXPECT_EQ(root.key, L"VS_VERSION_INFO");
    std::vector<const version_node*> files = children_named(root, L"StringFileInfo");
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(files[0]->children.size(), 1u);
    const version_node& table = files[0]->children[0];
    EXPECT_EQ(table.key, L"040904b0");
    std::map<std::wstring, std::wstring> strings;
    for (const version_node& s : table.children)
        strings[s.key] = text_value(s);
    EXPECT_EQ(table.children.size(), strings.size()) << "duplicate keys";
    EXPECT_EQ(strings, k_version_strings);
}

// FindResourceExW quietly falls back to a language-neutral copy, so only the
// list of languages shows a resource that is not US English.
TEST_F(resources_test, every_resource_is_us_english_only)
{
    struct id {
        WORD type;
        WORD name;
    };
    const id ids[] = {{rt(RT_GROUP_ICON), 1}, {rt(RT_ICON), 1},     {rt(RT_ICON), 2},
                      {rt(RT_ICON), 3},       {rt(RT_ICON), 4},     {rt(RT_ICON), 5},
                      {rt(RT_ICON), 6},       {rt(RT_MANIFEST), 1}, {rt(RT_VERSION), 1}};
    for (const id& r : ids) {
        SCOPED_TRACE(testing::Message() << "type " << r.type << " id " << r.name);
        std::vector<WORD> langs;
        EnumResourceLanguagesW(module_, MAKEINTRESOURCEW(r.type), MAKEINTRESOURCEW(r.name),
                               collect_language, reinterpret_cast<LONG_PTR>(&langs));
        EXPECT_EQ(langs, std::vector<WORD>{k_lang_us});
    }
}

} // namespace
