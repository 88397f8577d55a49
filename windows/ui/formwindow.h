#pragma once

#include <windows.h>

// The window procedure of a form class: the form comes with WM_NCCREATE as the
// creation parameter and receives every later message, until it lets go of its
// window (m_window back to null); before and after, DefWindowProcA answers.
template <class Form>
LRESULT CALLBACK FormWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto *form = static_cast<Form *>(reinterpret_cast<const CREATESTRUCTA *>(lParam)->lpCreateParams);
        form->m_window = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto *form = reinterpret_cast<Form *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!form || !form->m_window)
        return DefWindowProcA(window, message, wParam, lParam);
    return form->HandleMessage(message, wParam, lParam);
}
