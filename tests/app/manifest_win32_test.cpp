// The application manifests of the release programs, read back from the program files beside
// the test: what they ask of Windows, and that Windows accepts them (an activation context made
// from each one).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string BesideTest(const char* name)
{
    char path[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1) + name;
}

// Every manifest resource of the program as (id, language, text).
struct ManifestResource {
    WORD id;
    WORD language;
    std::string text;
};

BOOL CALLBACK AddLanguage(HMODULE h, LPCSTR type, LPCSTR name, WORD language, LONG_PTR param)
{
    auto* found = reinterpret_cast<std::vector<ManifestResource>*>(param);
    HRSRC r = ::FindResourceExA(h, type, name, language);
    const char* p = r ? static_cast<const char*>(::LockResource(::LoadResource(h, r))) : nullptr;
    found->push_back({WORD(reinterpret_cast<ULONG_PTR>(name)), language,
                      p ? std::string(p, ::SizeofResource(h, r)) : std::string()});
    return TRUE;
}

BOOL CALLBACK AddName(HMODULE h, LPCSTR type, LPSTR name, LONG_PTR param)
{
    return ::EnumResourceLanguagesA(h, type, name, AddLanguage, param);
}

std::vector<ManifestResource> Manifests(const std::string& path)
{
    std::vector<ManifestResource> found;
    HMODULE h = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!h)
        return found;
    ::EnumResourceNamesA(h, RT_MANIFEST, AddName, reinterpret_cast<LONG_PTR>(&found));
    ::FreeLibrary(h);
    return found;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

const char* const kEveryProgramAsks[] = {
    "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
    "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>",  // Vista
    "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",  // 7
    "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>",  // 8
    "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>",  // 8.1
    "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",  // 10 and 11
    ">true</dpiAware>",
    ">system</dpiAwareness>",
};
const char kCommonControls6[] = "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"";

TEST(ReleaseManifest, EachProgramCarriesOneManifestAskingWhatItNeeds)
{
    const struct {
        const char* program;
        bool bVisualStyles;
    } programs[] = {{"Mirador.exe", true}, {"SiRFflashcl.exe", false}};
    for (const auto& p : programs) {
        SCOPED_TRACE(p.program);
        std::vector<ManifestResource> found = Manifests(BesideTest(p.program));
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].id, 1);  // the one Windows reads when it starts a program
        EXPECT_EQ(found[0].language, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
        const std::string& text = found[0].text;
        for (const char* part : kEveryProgramAsks)
            EXPECT_TRUE(Contains(text, part)) << part;
        EXPECT_EQ(Contains(text, kCommonControls6), p.bVisualStyles);
        EXPECT_FALSE(Contains(text, "requireAdministrator"));
        EXPECT_FALSE(Contains(text, "highestAvailable"));
    }
}

TEST(ReleaseManifest, WindowsAcceptsEachManifest)
{
    for (const char* program : {"Mirador.exe", "SiRFflashcl.exe"}) {
        SCOPED_TRACE(program);
        std::string path = BesideTest(program);
        ACTCTXA ctx = {};
        ctx.cbSize = sizeof ctx;
        ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
        ctx.lpSource = path.c_str();
        ctx.lpResourceName = CREATEPROCESS_MANIFEST_RESOURCE_ID;
        HANDLE h = ::CreateActCtxA(&ctx);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
        if (h != INVALID_HANDLE_VALUE)
            ::ReleaseActCtx(h);
    }
}

}  // namespace
