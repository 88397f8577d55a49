#include "packetlistener.h"

#include "socketerrors.h"

namespace {

constexpr char kWindowClass[] = "CorvalenPacketListener";
constexpr WORD kSocketLibraryVersion = MAKEWORD(2, 0);

HINSTANCE ThisModule()
{
    return GetModuleHandleA(nullptr);
}

void RegisterWindowClass(WNDPROC procedure)
{
    WNDCLASSA windowClass{};
    if (GetClassInfoA(ThisModule(), kWindowClass, &windowClass))
        return;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = ThisModule();
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);
}

} // namespace

TPacketListener::TPacketListener(SocketCalls &calls)
    : m_calls(calls)
    , m_buffer(std::make_unique<std::uint8_t[]>(kBufferSize))
    , m_sizes{20, 8, 20 + 8}
{
    RegisterWindowClass(&TPacketListener::WindowProcedure);
    m_window = CreateWindowExA(WS_EX_TOOLWINDOW, kWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, ThisModule(),
                               this);
    m_startupResult = m_calls.Startup(kSocketLibraryVersion, &m_socketLibraryData);
}

TPacketListener::~TPacketListener()
{
    StopListening();
    if (m_startupResult == 0)
        m_calls.Cleanup();
    m_buffer.reset();
    DestroyWindow(m_window);
}

bool TPacketListener::StartListening()
{
    if (m_startupResult != 0) {
        m_lastErrorCode = m_startupResult;
        m_lastError = StartupFailureText(m_startupResult);
        return false;
    }
    m_socket = m_calls.Socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (m_socket == INVALID_SOCKET) {
        NoteSocketError();
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kBoundPort);
    address.sin_addr.s_addr = inet_addr("0.0.0.0");
    if (m_calls.Bind(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == SOCKET_ERROR) {
        NoteSocketError();
        return false;
    }
    if (m_calls.AsyncSelect(m_socket, m_window, kReadinessMessage, FD_READ) == SOCKET_ERROR) {
        NoteSocketError();
        return false;
    }
    m_isListening = true;
    return true;
}

void TPacketListener::StopListening()
{
    if (m_socket == INVALID_SOCKET)
        return;
    m_calls.CloseSocket(m_socket);
    m_socket = INVALID_SOCKET;
    m_isListening = false;
}

void TPacketListener::ReceiveDatagram()
{
    const int received = m_calls.Recv(m_socket, reinterpret_cast<char *>(m_buffer.get()), kBufferSize, 0);
    if (received > m_sizes.headers) {
        const auto fields = ReadDatagram(ByteView(m_buffer.get(), std::size_t(received)), m_sizes);
        if (!fields || !fields->mac)
            return;
        Notify(MagicReport(this, *fields));
    } else if (received < 0) {
        NoteSocketError();
        Notify({this, {}, {}, {}, 0, 0, true, std::nullopt, {}});
    }
}

void TPacketListener::Notify(PacketReport report)
{
    if (OnDataAvailable)
        OnDataAvailable(report);
}

void TPacketListener::NoteSocketError()
{
    m_lastErrorCode = m_calls.GetLastError();
    m_lastError = SocketErrorText(m_lastErrorCode);
}

LRESULT CALLBACK TPacketListener::WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto *creation = reinterpret_cast<const CREATESTRUCTA *>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto *listener = reinterpret_cast<TPacketListener *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == kReadinessMessage && listener) {
        listener->ReceiveDatagram();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
