#include "layout.h"

namespace {

// Reads a DLGTEMPLATEEX: little-endian words, UTF-16 texts, items on 4-byte boundaries.
class TemplateReader
{
public:
    explicit TemplateReader(std::span<const std::uint8_t> data) : m_data(data) {}

    bool Failed() const { return m_failed; }

    std::uint32_t Word() { return Read(2); }
    std::uint32_t DoubleWord() { return Read(4); }
    short Coordinate() { return short(Read(2)); }
    void AlignToDoubleWord() { m_offset = (m_offset + 3) & ~std::size_t(3); }
    void Skip(std::size_t count) { m_offset += count; }

    // A text or, after 0xFFFF, a number (returned as "#n").
    std::string TextOrOrdinal()
    {
        const std::uint32_t first = Word();
        if (first == 0xFFFF) {
            std::string ordinal("#");
            ordinal += std::to_string(Word());
            return ordinal;
        }
        m_offset -= 2;
        return Text();
    }

    std::string Text()
    {
        std::wstring wide;
        for (std::uint32_t unit = Word(); unit != 0 && !m_failed; unit = Word())
            wide.push_back(wchar_t(unit));
        if (wide.empty())
            return {};
        const int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
        std::string narrow(std::size_t(length), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), narrow.data(), length, nullptr, nullptr);
        return narrow;
    }

private:
    std::uint32_t Read(std::size_t size)
    {
        if (m_offset + size > m_data.size()) {
            m_failed = true;
            m_offset = m_data.size();
            return 0;
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value |= std::uint32_t(m_data[m_offset + i]) << (8 * i);
        m_offset += size;
        return value;
    }

    std::span<const std::uint8_t> m_data;
    std::size_t m_offset = 0;
    bool m_failed = false;
};

// The predefined control classes that templates may name by number.
std::string ClassName(const std::string &ordinalOrName)
{
    static const std::pair<const char *, const char *> predefined[] = {
        {"#128", "Button"}, {"#129", "Edit"}, {"#130", "Static"},
        {"#131", "ListBox"}, {"#132", "ScrollBar"}, {"#133", "ComboBox"},
    };
    for (const auto &[ordinal, name] : predefined)
        if (ordinalOrName == ordinal)
            return name;
    return ordinalOrName;
}

SIZE TextSize(HWND control, HFONT font, const std::string &text)
{
    HDC dc = GetDC(control);
    const HGDIOBJ previous = SelectObject(dc, font);
    RECT bounds{};
    DrawTextA(dc, text.c_str(), int(text.size()), &bounds, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    return {bounds.right - bounds.left, bounds.bottom - bounds.top};
}

} // namespace

std::optional<WindowLayout> ParseWindowLayout(std::span<const std::uint8_t> data)
{
    TemplateReader reader(data);
    WindowLayout layout;
    const std::uint32_t version = reader.Word();
    const std::uint32_t signature = reader.Word();
    if (version != 1 || signature != 0xFFFF)
        return std::nullopt;
    reader.DoubleWord(); // help context
    layout.exStyle = reader.DoubleWord();
    layout.style = reader.DoubleWord();
    const std::uint32_t controlCount = reader.Word();
    reader.Coordinate();
    reader.Coordinate();
    layout.size.cx = reader.Coordinate();
    layout.size.cy = reader.Coordinate();
    reader.TextOrOrdinal(); // menu
    reader.TextOrOrdinal(); // window class
    layout.caption = reader.Text();
    if (layout.style & DS_SETFONT) {
        layout.fontPoints = int(reader.Word());
        reader.Word(); // weight
        reader.Skip(2); // italic, character set
        layout.fontName = reader.Text();
    }
    for (std::uint32_t i = 0; i < controlCount && !reader.Failed(); ++i) {
        reader.AlignToDoubleWord();
        ControlLayout control;
        reader.DoubleWord(); // help context
        control.exStyle = reader.DoubleWord();
        control.style = reader.DoubleWord();
        control.bounds.left = reader.Coordinate();
        control.bounds.top = reader.Coordinate();
        control.bounds.right = control.bounds.left + reader.Coordinate();
        control.bounds.bottom = control.bounds.top + reader.Coordinate();
        control.id = int(reader.DoubleWord());
        control.className = ClassName(reader.TextOrOrdinal());
        control.text = reader.TextOrOrdinal();
        reader.Skip(reader.Word()); // creation data
        layout.controls.push_back(std::move(control));
    }
    if (reader.Failed())
        return std::nullopt;
    return layout;
}

std::span<const std::uint8_t> LoadResourceData(HINSTANCE module, const char *name, const char *type)
{
    HRSRC found = FindResourceA(module, name, type);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    if (!loaded)
        return {};
    return {static_cast<const std::uint8_t *>(LockResource(loaded)), SizeofResource(module, found)};
}

std::optional<WindowLayout> LoadWindowLayout(HINSTANCE module, int resourceId)
{
    return ParseWindowLayout(LoadResourceData(module, MAKEINTRESOURCEA(resourceId), MAKEINTRESOURCEA(5) /*RT_DIALOG*/));
}

HFONT CreateLayoutFont(const WindowLayout &layout, bool underline)
{
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(layout.fontPoints, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, underline, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, layout.fontName.c_str());
}

void CreateLayoutControls(HWND parent, const WindowLayout &layout, HFONT font)
{
    const auto module = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(parent, GWLP_HINSTANCE));
    for (const ControlLayout &control : layout.controls) {
        const RECT &r = control.bounds;
        HWND created = CreateWindowExA(control.exStyle, control.className.c_str(), control.text.c_str(),
                                       control.style | WS_CHILD, r.left, r.top, r.right - r.left, r.bottom - r.top,
                                       parent, reinterpret_cast<HMENU>(INT_PTR(control.id)), module, nullptr);
        SendMessageA(created, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (r.right == r.left) {
            const SIZE text = TextSize(created, font, control.text);
            SetWindowPos(created, nullptr, 0, 0, text.cx, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
        }
    }
}
