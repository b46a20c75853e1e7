// The resources that Mirador.exe carries, read back from the program file: the two dialog
// templates field by field, the icon, the string and the version block.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const WORD kSpanish = MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN);  // 0x0C0A

std::string ProgramPath()
{
    char path[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1) + "Mirador.exe";
}

class Program {
public:
    Program() : m_h(::LoadLibraryExA(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~Program()
    {
        if (m_h)
            ::FreeLibrary(m_h);
    }
    HMODULE Handle() const { return m_h; }

    // The bytes of one resource in the Spanish language; empty when there is none.
    std::vector<unsigned char> Resource(LPCSTR type, LPCSTR name) const
    {
        HRSRC r = ::FindResourceExA(m_h, type, name, kSpanish);
        if (!r)
            return {};
        const unsigned char* p = static_cast<const unsigned char*>(::LockResource(::LoadResource(m_h, r)));
        return std::vector<unsigned char>(p, p + ::SizeofResource(m_h, r));
    }

private:
    HMODULE m_h;
};

// Reads a dialog template (classic or extended) as its fields.
class Reader {
public:
    explicit Reader(const std::vector<unsigned char>& data) : m_data(data) {}
    WORD Word() { return Take<WORD>(); }
    DWORD Dword() { return Take<DWORD>(); }
    short Short() { return Take<short>(); }
    BYTE Byte() { return Take<BYTE>(); }
    void Align() { m_at = (m_at + 3) & ~size_t(3); }

    // A string or, after 0xFFFF, an ordinal: "#n", or for a class the predefined class's name.
    std::wstring SzOrOrd(bool bClass = false)
    {
        WORD first = Word();
        if (first == 0xFFFF) {
            WORD ord = Word();
            switch (bClass ? ord : 0) {
                case 0x80:
                    return L"BUTTON";
                case 0x81:
                    return L"EDIT";
                case 0x82:
                    return L"STATIC";
                case 0x83:
                    return L"LISTBOX";
                case 0x84:
                    return L"SCROLLBAR";
                case 0x85:
                    return L"COMBOBOX";
                default:
                    return L"#" + std::to_wstring(ord);
            }
        }
        std::wstring s;
        for (WORD c = first; c != 0; c = Word())
            s += wchar_t(c);
        return s;
    }

private:
    template <typename T>
    T Take()
    {
        T v{};
        if (m_at + sizeof v <= m_data.size())
            std::memcpy(&v, m_data.data() + m_at, sizeof v);
        m_at += sizeof v;
        return v;
    }
    const std::vector<unsigned char>& m_data;
    size_t m_at = 0;
};

struct Item {
    int id;
    std::wstring cls;
    std::wstring text;
    short x, y, cx, cy;
    DWORD style;
    DWORD exStyle;
};

std::wstring Upper(std::wstring s)
{
    for (wchar_t& c : s)
        c = wchar_t(::towupper(c));
    return s;
}

void ExpectItems(const std::vector<Item>& want, const std::vector<Item>& got)
{
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        EXPECT_EQ(want[i].id, got[i].id);
        EXPECT_EQ(Upper(want[i].cls), Upper(got[i].cls));  // class names are not case-sensitive
        EXPECT_EQ(want[i].text, got[i].text);
        EXPECT_EQ(want[i].x, got[i].x);
        EXPECT_EQ(want[i].y, got[i].y);
        EXPECT_EQ(want[i].cx, got[i].cx);
        EXPECT_EQ(want[i].cy, got[i].cy);
        EXPECT_EQ(want[i].style, got[i].style) << std::hex << got[i].style;
        EXPECT_EQ(want[i].exStyle, got[i].exStyle);
    }
}

TEST(MiradorResources, MainDialogTemplate)
{
    Program program;
    ASSERT_NE(nullptr, program.Handle()) << ProgramPath();
    std::vector<unsigned char> data = program.Resource(RT_DIALOG, MAKEINTRESOURCEA(102));
    ASSERT_FALSE(data.empty());
    Reader r(data);
    ASSERT_EQ(1, r.Word());  // extended template
    ASSERT_EQ(0xFFFF, r.Word());
    EXPECT_EQ(0u, r.Dword());  // help id
    EXPECT_EQ(0x00040000u, r.Dword());
    EXPECT_EQ(0x90C800C0u, r.Dword());
    const WORD count = r.Word();
    r.Short(), r.Short();
    EXPECT_EQ(290, r.Short());
    EXPECT_EQ(326, r.Short());
    EXPECT_EQ(L"", r.SzOrOrd());  // no menu
    EXPECT_EQ(L"", r.SzOrOrd());  // the standard dialog class
    EXPECT_EQ(L"Actualizacion - Versi\u00F3n 1.40", r.SzOrOrd());
    EXPECT_EQ(8, r.Word());
    EXPECT_EQ(0, r.Word());  // weight
    EXPECT_EQ(0, r.Byte());  // not italic
    EXPECT_EQ(1, r.Byte());  // character set
    EXPECT_EQ(L"Verdana", r.SzOrOrd());

    std::vector<Item> got;
    for (WORD i = 0; i < count; ++i) {
        r.Align();
        Item it;
        r.Dword();  // help id
        it.exStyle = r.Dword();
        it.style = r.Dword();
        it.x = r.Short(), it.y = r.Short(), it.cx = r.Short(), it.cy = r.Short();
        it.id = int(r.Dword());
        it.cls = r.SzOrOrd(true);
        it.text = r.SzOrOrd();
        const WORD extra = r.Word();
        for (WORD k = 0; k < extra; ++k)
            r.Byte();
        got.push_back(it);
    }
    ExpectItems(
        {
            {1, L"BUTTON", L"Salir(Exit)", 218, 282, 65, 24, 0x50010001, 0},
            {-1, L"STATIC", L"Puerto COM:", 14, 245, 43, 8, 0x50020000, 0},
            {1001, L"COMBOBOX", L"", 70, 243, 49, 51, 0x50210002, 0},
            {1003, L"BUTTON", L"Actualizar", 145, 282, 69, 24, 0x50012000, 0},
            {1004, L"msctls_progress32", L"Progress1", 7, 311, 276, 12, 0x40800000, 0},
            {-1, L"BUTTON", L" Opciones de Usuario ", 7, 231, 135, 75, 0x50000007, 0},
            {1008, L"BUTTON", L"Mantener Posiciones de Usuario", 13, 275, 119, 10, 0x50022009, 0},
            {1009, L"BUTTON", L"Borrar Posiciones de Usuario", 13, 288, 110, 10, 0x50000009, 0},
            {1005, L"STATIC", L"", 166, 248, 103, 8, 0x50020080, 0},  // SS_NOPREFIX: a label shows its &
            {1006, L"STATIC", L"", 166, 263, 103, 8, 0x50020080, 0},
            {1007, L"STATIC", L"Update Program", 112, 102, 53, 8, 0x50020000, 0},
            {-1, L"BUTTON", L"Informacion de Actualizacion", 146, 231, 137, 47, 0x50000007, 0},
            {-1, L"STATIC", L"Vel. Conexion:", 14, 259, 50, 8, 0x50020000, 0},
            {1002, L"COMBOBOX", L"", 70, 258, 49, 51, 0x58210002, 0},
        },
        got);
}

TEST(MiradorResources, AboutBoxTemplate)
{
    Program program;
    std::vector<unsigned char> data = program.Resource(RT_DIALOG, MAKEINTRESOURCEA(100));
    ASSERT_FALSE(data.empty());
    Reader r(data);
    EXPECT_EQ(0x80C800C0u, r.Dword());  // classic template: style first
    EXPECT_EQ(0u, r.Dword());
    const WORD count = r.Word();
    r.Short(), r.Short();
    EXPECT_EQ(194, r.Short());
    EXPECT_EQ(71, r.Short());
    EXPECT_EQ(L"", r.SzOrOrd());
    EXPECT_EQ(L"", r.SzOrOrd());
    EXPECT_EQ(L"Acerca de Mirador", r.SzOrOrd());
    EXPECT_EQ(9, r.Word());
    EXPECT_EQ(L"MS Sans Serif", r.SzOrOrd());

    std::vector<Item> got;
    for (WORD i = 0; i < count; ++i) {
        r.Align();
        Item it;
        it.style = r.Dword();
        it.exStyle = r.Dword();
        it.x = r.Short(), it.y = r.Short(), it.cx = r.Short(), it.cy = r.Short();
        it.id = short(r.Word());
        it.cls = r.SzOrOrd(true);
        it.text = r.SzOrOrd();
        const WORD extra = r.Word();
        for (WORD k = 0; k < extra; ++k)
            r.Byte();
        got.push_back(it);
    }
    ASSERT_EQ(5u, got.size());
    // The picture is icon 128; the two lines of text at (3) and (5) are the program's own.
    got[2].text.clear();
    got[4].text.clear();
    ExpectItems(
        {
            {-1, L"STATIC", L"#128", 11, 17, 20, 20, 0x50000003, 0},
            {-1, L"STATIC", L"Tavo flash", 40, 10, 57, 8, 0x50020080, 0},
            {-1, L"STATIC", L"", 40, 25, 90, 8, 0x50020000, 0},
            {1, L"BUTTON", L"Aceptar", 137, 7, 50, 14, 0x50030001, 0},
            {-1, L"STATIC", L"", 40, 41, 64, 9, 0x50020000, 0},
        },
        got);
}

TEST(MiradorResources, IconStringAndVersion)
{
    Program program;

    // Group icon 128: a 32 x 32 and a 16 x 16 image of 16 colours, each a 4-bit bitmap.
    std::vector<unsigned char> group = program.Resource(RT_GROUP_ICON, MAKEINTRESOURCEA(128));
    ASSERT_EQ(6u + 2 * 14, group.size());
    EXPECT_EQ(2, group[4]);
    const int sizes[] = {32, 16};
    for (int i = 0; i < 2; ++i) {
        const unsigned char* e = group.data() + 6 + 14 * i;
        EXPECT_EQ(sizes[i], e[0]);
        EXPECT_EQ(sizes[i], e[1]);
        EXPECT_EQ(16, e[2]);
        EXPECT_EQ(4, e[6]);  // bits per pixel
        WORD id;
        std::memcpy(&id, e + 12, 2);
        std::vector<unsigned char> image = program.Resource(RT_ICON, MAKEINTRESOURCEA(id));
        ASSERT_GE(image.size(), 40u);
        EXPECT_EQ(sizes[i], int(image[4]));
        EXPECT_EQ(4, image[14]);
    }

    // String 101, in block 7 (strings 96 to 111), entry 5.
    std::vector<unsigned char> block = program.Resource(RT_STRING, MAKEINTRESOURCEA(7));
    ASSERT_FALSE(block.empty());
    const WORD* p = reinterpret_cast<const WORD*>(block.data());
    for (int i = 0; i < 5; ++i)
        p += 1 + *p;
    EXPECT_EQ(L"&Acerca de Mirador...", std::wstring(reinterpret_cast<const wchar_t*>(p + 1), *p));

    // Version block.
    const std::string path = ProgramPath();
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwProductVersionLS);
    EXPECT_EQ(DWORD(VFT_APP), fixed->dwFileType);
    EXPECT_EQ(DWORD(VOS__WINDOWS32), fixed->dwFileOS);

    WORD* translation = nullptr;
    ASSERT_TRUE(
        ::VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
    ASSERT_EQ(4u, len);
    EXPECT_EQ(0x0C0A, translation[0]);
    EXPECT_EQ(1200, translation[1]);

    const std::pair<const char*, const wchar_t*> strings[] = {
        {"CompanyName", L""},
        {"FileDescription", L"Aplicaci\u00F3n MFC Mirador"},
        {"FileVersion", L"1, 0, 0, 1"},
        {"InternalName", L"Mirador"},
        {"LegalTrademarks", L""},
        {"OriginalFilename", L"Mirador.EXE"},
        {"ProductName", L"Aplicaci\u00F3n Mirador"},
        {"ProductVersion", L"1, 0, 0, 1"},
    };
    for (const auto& s : strings) {
        SCOPED_TRACE(s.first);
        std::wstring key = L"\\StringFileInfo\\0C0A04B0\\" + std::wstring(s.first, s.first + std::strlen(s.first));
        wchar_t* value = nullptr;
        ASSERT_TRUE(::VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &len));
        EXPECT_EQ(std::wstring(s.second), std::wstring(value));
    }
}

}  // namespace
