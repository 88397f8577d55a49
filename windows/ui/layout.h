#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A window's layout as the resource script gives it (a DIALOGEX template whose
// coordinates are pixels), read so that the program creates the controls itself.
struct ControlLayout
{
    std::string className;
    std::string text;
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT bounds{};
    int id = 0;
};

struct WindowLayout
{
    DWORD style = 0;
    DWORD exStyle = 0;
    SIZE size{};
    std::string caption;
    std::string fontName;
    int fontPoints = 0;
    std::vector<ControlLayout> controls;
};

std::optional<WindowLayout> ParseWindowLayout(std::span<const std::uint8_t> dialogTemplateEx);
std::optional<WindowLayout> LoadWindowLayout(HINSTANCE module, int resourceId);
std::span<const std::uint8_t> LoadResourceData(HINSTANCE module, const char *name, const char *type);

// The layout's font at the screen's resolution, optionally underlined.
HFONT CreateLayoutFont(const WindowLayout &layout, bool underline = false);

// Creates the controls in template order (which is the tab order). Controls of
// width 0 are sized to their text in `font`.
void CreateLayoutControls(HWND parent, const WindowLayout &layout, HFONT font);
