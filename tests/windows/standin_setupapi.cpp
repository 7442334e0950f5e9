// A stand-in setupapi.dll for the Windows tier (wine lists no device interfaces): one gs_usb
// adapter under candleLight's interface GUID, whose path is a file beside this DLL that the build
// makes and the stand-in winusb.dll opens. GUID_DEVINTERFACE_USB_DEVICE lists it again (in
// capitals), a device of an unknown ID that opens (another such file) and one of a known ID that
// does not: the library must still find one adapter. Other classes are empty, COM ports included
// (the SLCAN backend imports the A functions, so they are here too).
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

using List = std::vector<std::wstring>;

std::wstring Beside(const wchar_t* file) {  // a file of this DLL's folder, as an interface path
    HMODULE self = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&Beside), &self);
    wchar_t name[MAX_PATH] = {};
    ::GetModuleFileNameW(self, name, MAX_PATH);
    const std::wstring path(name);
    return L"\\\\?\\" + path.substr(0, path.rfind(L'\\') + 1) + file;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* guid, PCWSTR, HWND, DWORD flags) {
    std::wstring path =
        Beside(L"usb#vid_1d50&pid_606f#KV0042STANDIN#{c15b4308-04d3-11e6-b3ea-6057189e6443}");
    if (guid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
        return new List;
    }
    if (guid->Data1 == 0xc15b4308) {  // candleLight's
        return new List{path};
    }
    if (guid->Data1 != 0xa5dcbf10) {  // GUID_DEVINTERFACE_USB_DEVICE
        return new List;
    }
    for (wchar_t& c : path) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return new List{
        path, Beside(L"usb#vid_046d&pid_c52b#other#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
        L"\\\\?\\usb#vid_1d50&pid_606f#composite#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"};
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    if (index >= static_cast<List*>(set)->size() ||
        data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    *data = {sizeof *data, *guid, SPINT_ACTIVE, index + 1};
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA) {
    const std::wstring& path = static_cast<List*>(set)->at(data->Reserved - 1);
    const std::size_t bytes = (path.size() + 1) * sizeof(wchar_t);
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + bytes);
    if (required != nullptr) {
        *required = needed;
    }
    if (detail == nullptr || size < needed ||
        detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), bytes);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    delete static_cast<List*>(set);
    return TRUE;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID*, PCSTR, HWND, DWORD) {
    return new List;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD) {
    return FALSE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM) {
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
}

}  // extern "C"
