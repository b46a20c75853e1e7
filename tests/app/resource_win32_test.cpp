// The resources that Mirador.exe carries, read back from the program file and compared with the
// resource script they were compiled from: the two dialog templates field by field, the string
// and the version block; and the icon.
#include "app/resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
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
    explicit Reader(std::vector<unsigned char> data) : m_data(std::move(data)) {}
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
            static const wchar_t* const kClasses[] = {L"BUTTON",  L"EDIT",      L"STATIC",
                                                      L"LISTBOX", L"SCROLLBAR", L"COMBOBOX"};
            const WORD ord = Word();
            return bClass && ord >= 0x80 && ord <= 0x85 ? kClasses[ord - 0x80] : L"#" + std::to_wstring(ord);
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
    std::vector<unsigned char> m_data;
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

// A dialog template's fields, as the script states them or as the program holds them.
struct Dialog {
    int id = 0;
    bool extended = false;
    DWORD style = 0, exStyle = 0;
    short cx = 0, cy = 0;
    std::wstring caption, face;
    WORD pointSize = 0, weight = 0;
    BYTE italic = 0, charset = 1;
    std::vector<Item> items;
};

std::wstring Wide(const std::string& utf8)
{
    std::wstring w(utf8.size(), L'\0');
    w.resize(size_t(::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &w[0], int(w.size()))));
    return w;
}

// The fields of a control or a dialog's header on one line, to compare in one go.
std::wstring Fields(const Item& it)
{
    std::wstring cls = it.cls;
    for (wchar_t& c : cls)
        c = wchar_t(::towupper(c));  // class names are not case-sensitive
    std::wostringstream out;
    out << it.id << L" " << cls << L" \"" << it.text << L"\" " << it.x << L"," << it.y << L"," << it.cx << L"," << it.cy
        << std::hex << L" style " << it.style << L" exstyle " << it.exStyle;
    return out.str();
}
std::wstring Fields(const Dialog& d)
{
    std::wostringstream out;
    out << (d.extended ? L"extended " : L"classic ") << d.cx << L"x" << d.cy << L" \"" << d.caption << L"\" "
        << d.pointSize << L" " << d.face << L" " << d.weight << L" " << int(d.italic) << L" " << int(d.charset)
        << std::hex << L" style " << d.style << L" exstyle " << d.exStyle;
    return out.str();
}

// The Windows symbols the script uses, by name.
// clang-format off
#define SYMBOL(name) {#name, long(name)}
const std::map<std::string, long> kWindowsSymbols = {
    SYMBOL(DS_MODALFRAME), SYMBOL(DS_SETFONT), SYMBOL(WS_POPUP), SYMBOL(WS_VISIBLE), SYMBOL(WS_CAPTION),
    SYMBOL(WS_SYSMENU), SYMBOL(WS_EX_APPWINDOW), SYMBOL(WS_CHILD), SYMBOL(WS_GROUP), SYMBOL(WS_TABSTOP),
    SYMBOL(WS_VSCROLL), SYMBOL(WS_BORDER), SYMBOL(WS_DISABLED), SYMBOL(SS_ICON), SYMBOL(SS_LEFT),
    SYMBOL(SS_NOPREFIX), SYMBOL(BS_DEFPUSHBUTTON), SYMBOL(BS_PUSHBUTTON), SYMBOL(BS_MULTILINE), SYMBOL(BS_GROUPBOX),
    SYMBOL(BS_AUTORADIOBUTTON), SYMBOL(CBS_DROPDOWN), SYMBOL(IDOK)};
// clang-format on
#undef SYMBOL

// The resource script: its dialogs, its string table and its version strings, with the values of
// the symbols it names (those of resource.h too).
class Script {
public:
    Script() : m_symbols(kWindowsSymbols)
    {
        std::ifstream ids(UPDATER_SOURCE_DIR "/app/resource.h");
        std::string define, name;
        long value;
        for (std::string line; std::getline(ids, line);) {
            if (std::istringstream(line) >> define >> name >> value && define == "#define")
                m_symbols[name] = value;
        }
        std::ifstream rc(UPDATER_SOURCE_DIR "/app/mirador.rc");
        for (std::string line; std::getline(rc, line);)
            Read(line);
    }
    const std::vector<Dialog>& Dialogs() const { return m_dialogs; }
    const std::map<std::string, std::wstring>& Strings() const { return m_strings; }
    long Value(const std::string& term) const
    {
        const auto it = m_symbols.find(term);
        return it != m_symbols.end() ? it->second : std::stol(term, nullptr, 0);
    }

private:
    // The comma-separated fields of a statement, trimmed; a quoted text keeps its quotes.
    static std::vector<std::string> Split(const std::string& text)
    {
        std::vector<std::string> out(1);
        bool quoted = false;
        for (char c : text) {
            quoted ^= c == '"';
            if (c == ',' && !quoted)
                out.emplace_back();
            else if (quoted || c != ' ' || (!out.back().empty() && out.back().back() != ' '))
                out.back() += c;
        }
        for (std::string& f : out)
            f.erase(f.find_last_not_of(' ') + 1);
        return out;
    }
    static std::wstring Text(const std::string& field)
    {
        std::string t = field.substr(1, field.rfind('"') - 1);
        if (t.size() >= 2 && t.compare(t.size() - 2, 2, "\\0") == 0)
            t.resize(t.size() - 2);
        return Wide(t);
    }
    // "A | B | NOT C" from a start value.
    DWORD Style(const std::string& expression, DWORD style) const
    {
        std::istringstream in(expression);
        for (std::string term; std::getline(in >> std::ws, term, '|');) {
            term.erase(term.find_last_not_of(' ') + 1);
            if (term.compare(0, 4, "NOT ") == 0)
                style &= ~DWORD(Value(term.substr(4)));
            else
                style |= DWORD(Value(term));
        }
        return style;
    }
    void Read(std::string line)
    {
        line.erase(0, line.find_first_not_of(' '));
        std::string word = line.substr(0, line.find(' ')), rest = line.substr(word.size());
        rest.erase(0, rest.find_first_not_of(' '));
        const std::vector<std::string> f = Split(rest);
        if (rest.compare(0, 6, "DIALOG") == 0) {
            m_dialogs.push_back({});
            m_dialogs.back().id = int(Value(word));
            m_dialogs.back().extended = rest.compare(0, 8, "DIALOGEX") == 0;
            const std::vector<std::string> size = Split(rest.substr(rest.find(' ') + 1));
            m_dialogs.back().cx = short(Value(size[2])), m_dialogs.back().cy = short(Value(size[3]));
        } else if (word == "STYLE") {
            m_dialogs.back().style = Style(rest, 0);
        } else if (word == "EXSTYLE") {
            m_dialogs.back().exStyle = Style(rest, 0);
        } else if (word == "CAPTION") {
            m_dialogs.back().caption = Text(rest);
        } else if (word == "FONT") {
            Dialog& d = m_dialogs.back();
            d.pointSize = WORD(Value(f[0])), d.face = Text(f[1]);
            if (f.size() == 5)
                d.weight = WORD(Value(f[2])), d.italic = BYTE(Value(f[3])), d.charset = BYTE(Value(f[4]));
        } else if (word == "CONTROL") {
            // A control is a visible child unless its style says NOT.
            const std::wstring text = f[0][0] == '"' ? Text(f[0]) : L"#" + std::to_wstring(Value(f[0]));
            m_dialogs.back().items.push_back({int(Value(f[1])), Text(f[2]), text, short(Value(f[4])),
                                              short(Value(f[5])), short(Value(f[6])), short(Value(f[7])),
                                              Style(f[3], WS_CHILD | WS_VISIBLE), 0});
        }
        if ((word.compare(0, 4, "IDS_") == 0 || word == "VALUE") && !f.empty() && f.back()[0] == '"')
            m_strings[word == "VALUE" ? f[0].substr(1, f[0].size() - 2) : word] = Text(f.back());
    }

    std::map<std::string, long> m_symbols;
    std::vector<Dialog> m_dialogs;
    std::map<std::string, std::wstring> m_strings;
};

// The template of dialog id as the program holds it.
Dialog ProgramDialog(const Program& program, int id)
{
    Dialog d;
    d.id = id;
    Reader r(program.Resource(RT_DIALOG, MAKEINTRESOURCEA(id)));
    d.extended = r.Word() == 1 && r.Word() == 0xFFFF;
    if (d.extended) {
        r.Dword();  // help id
        d.exStyle = r.Dword(), d.style = r.Dword();
    } else {
        r = Reader(program.Resource(RT_DIALOG, MAKEINTRESOURCEA(id)));
        d.style = r.Dword(), d.exStyle = r.Dword();
    }
    const WORD count = r.Word();
    r.Short(), r.Short();
    d.cx = r.Short(), d.cy = r.Short();
    EXPECT_EQ(L"", r.SzOrOrd());  // no menu
    EXPECT_EQ(L"", r.SzOrOrd());  // the standard dialog class
    d.caption = r.SzOrOrd();
    d.pointSize = r.Word();
    if (d.extended)
        d.weight = r.Word(), d.italic = r.Byte(), d.charset = r.Byte();  // a classic template has none
    d.face = r.SzOrOrd();
    for (WORD i = 0; i < count; ++i) {
        r.Align();
        Item it;
        if (d.extended)
            r.Dword(), it.exStyle = r.Dword(), it.style = r.Dword();
        else
            it.style = r.Dword(), it.exStyle = r.Dword();
        it.x = r.Short(), it.y = r.Short(), it.cx = r.Short(), it.cy = r.Short();
        it.id = d.extended ? int(r.Dword()) : short(r.Word());
        it.cls = r.SzOrOrd(true);
        it.text = r.SzOrOrd();
        for (WORD extra = r.Word(), k = 0; k < extra; ++k)
            r.Byte();
        d.items.push_back(it);
    }
    return d;
}

TEST(MiradorResources, DialogTemplatesAreTheScripts)
{
    Program program;
    ASSERT_NE(nullptr, program.Handle()) << ProgramPath();
    const Script script;
    ASSERT_EQ(2u, script.Dialogs().size());
    for (const Dialog& want : script.Dialogs()) {
        SCOPED_TRACE("dialog " + std::to_string(want.id));
        const Dialog got = ProgramDialog(program, want.id);
        EXPECT_EQ(Fields(want), Fields(got));
        ASSERT_EQ(want.items.size(), got.items.size());
        for (size_t i = 0; i < want.items.size(); ++i)
            EXPECT_EQ(Fields(want.items[i]), Fields(got.items[i])) << "control " << i + 1;
    }
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

    // The string table's one string, IDS_ABOUTBOX: block 7 (strings 96 to 111), entry 5.
    const Script script;
    ASSERT_EQ(9u, script.Strings().size());  // the string and the eight version strings
    std::vector<unsigned char> block = program.Resource(RT_STRING, MAKEINTRESOURCEA(IDS_ABOUTBOX / 16 + 1));
    ASSERT_FALSE(block.empty());
    const WORD* p = reinterpret_cast<const WORD*>(block.data());
    for (int i = 0; i < IDS_ABOUTBOX % 16; ++i)
        p += 1 + *p;
    EXPECT_EQ(script.Strings().at("IDS_ABOUTBOX"), std::wstring(reinterpret_cast<const wchar_t*>(p + 1), *p));

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

    for (const auto& s : script.Strings()) {
        if (s.first == "IDS_ABOUTBOX")
            continue;
        SCOPED_TRACE(s.first);
        std::wstring key = L"\\StringFileInfo\\0C0A04B0\\" + Wide(s.first);
        wchar_t* value = nullptr;
        ASSERT_TRUE(::VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &len));
        EXPECT_EQ(s.second, std::wstring(value));
    }
}

}  // namespace
