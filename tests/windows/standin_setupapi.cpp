// A stand-in setupapi.dll for the Windows tier (wine has no device interfaces to list): one gs_usb
// adapter, whose interface path is a file beside this DLL that the build makes
// (usb#vid_1d50&pid_606f#path-serial#{c15b4308-...}, opened by the stand-in winusb.dll), listed
// under candleLight's interface GUID. GUID_DEVINTERFACE_USB_DEVICE lists it again (its path in
// capitals), a device of an unknown ID that opens (another file there) and one of a known ID
// that does not open: the library must still find one adapter. Every other class is empty, COM
// ports included (the SLCAN backend's calls, which load this DLL too).
#define _SETUPAPI_  // defines the functions rather than importing them
#include <windows.h>
// After windows.h:
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

namespace {

constexpr GUID kCandleLight = {
    0xc15b4308, 0x04d3, 0x11e6, {0xb3, 0xea, 0x60, 0x57, 0x18, 0x9e, 0x64, 0x43}};
constexpr GUID kUsbDevice = {
    0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

struct List {
    std::vector<std::wstring> paths;
};

// A file of this DLL's folder, as an interface path.
std::wstring Beside(const wchar_t* file) {
    HMODULE self = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&Beside), &self);
    wchar_t name[MAX_PATH] = {};
    ::GetModuleFileNameW(self, name, MAX_PATH);
    std::wstring folder(name);
    folder.resize(folder.rfind(L'\\') + 1);
    return L"\\\\?\\" + folder + file;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* guid, PCWSTR, HWND, DWORD flags) {
    auto* list = new List;
    if (guid != nullptr && (flags & DIGCF_DEVICEINTERFACE) != 0) {
        const std::wstring path =
            Beside(L"usb#vid_1d50&pid_606f#path-serial#{c15b4308-04d3-11e6-b3ea-6057189e6443}");
        if (std::memcmp(guid, &kCandleLight, sizeof(GUID)) == 0) {
            list->paths = {path};
        } else if (std::memcmp(guid, &kUsbDevice, sizeof(GUID)) == 0) {
            std::wstring capitals = path;
            for (wchar_t& c : capitals) {
                c = static_cast<wchar_t>(std::towupper(c));
            }
            list->paths = {
                capitals,
                Beside(L"usb#vid_046d&pid_c52b#other#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
                L"\\\\?\\usb#vid_1d50&pid_606f#composite#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"};
        }
    }
    return list;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID*, PCSTR, HWND, DWORD) {
    return new List;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    delete static_cast<List*>(set);
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    const List* list = static_cast<List*>(set);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= list->paths.size()) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = *guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA) {
    const std::wstring& path = static_cast<List*>(set)->paths.at(data->Reserved - 1);
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                           (path.size() + 1) * sizeof(wchar_t));
    if (required != nullptr) {
        *required = needed;
    }
    if (detail == nullptr || size < needed) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD) {
    ::SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM) {
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
}

}  // extern "C"
