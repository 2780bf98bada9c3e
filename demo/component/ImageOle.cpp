// The demo component, "ImageOle.dll": one in-process COM class (it answers IUnknown only),
// registered under HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 by DllRegisterServer, so
// an installation's registration step can be seen in the registry and used with
// CoCreateInstance.
#include <windows.h>
// after windows.h
#include <objbase.h>
#include <olectl.h>

#include <atomic>
#include <new>

namespace {

// {6A1F3E2B-7C4D-4E59-9B1A-2D3C4B5A6978}
constexpr CLSID kClsid = {0x6a1f3e2b,
                          0x7c4d,
                          0x4e59,
                          {0x9b, 0x1a, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78}};
constexpr wchar_t kClsidKey[] = L"CLSID\\{6A1F3E2B-7C4D-4E59-9B1A-2D3C4B5A6978}";

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

class ImageObject : public IUnknown {
 public:
  ImageObject() { ++g_objects; }
  virtual ~ImageObject() { --g_objects; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr)
      return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --refs_;
    if (left == 0)
      delete this;
    return static_cast<ULONG>(left);
  }

 private:
  std::atomic<long> refs_{1};
};

class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr)
      return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr)
      return E_POINTER;
    *out = nullptr;
    if (outer != nullptr)
      return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) ImageObject;
    if (object == nullptr)
      return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ++g_locks : --g_locks;
    return S_OK;
  }
};

Factory g_factory;

bool SetValue(HKEY root, const wchar_t* key, const wchar_t* name, const wchar_t* value) {
  HKEY h = nullptr;
  if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const auto bytes = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t));
  const bool ok = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes) ==
                  ERROR_SUCCESS;
  RegCloseKey(h);
  return ok;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr)
    return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, kClsid))
    return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  // A registration that takes its time, where tests ask for one: it keeps an installation
  // in its registration step for that many milliseconds, and with SETUP_FAILING_REGISTRATION
  // set it then fails.
  char delay[16] = {};
  const DWORD digits = GetEnvironmentVariableA("SETUP_SLOW_REGISTRATION_MS", delay, sizeof delay);
  if (digits > 0 && digits < sizeof delay) {
    DWORD ms = 0;
    for (const char* c = delay; *c >= '0' && *c <= '9'; ++c)
      ms = ms * 10 + static_cast<DWORD>(*c - '0');
    Sleep(ms);
  }
  if (GetEnvironmentVariableA("SETUP_FAILING_REGISTRATION", nullptr, 0) > 0)
    return SELFREG_E_CLASS;
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n == MAX_PATH)
    return SELFREG_E_CLASS;
  wchar_t server[96];
  lstrcpyW(server, kClsidKey);
  lstrcatW(server, L"\\InprocServer32");
  const bool ok = SetValue(HKEY_CLASSES_ROOT, kClsidKey, nullptr, L"Korvel ImageOle") &&
                  SetValue(HKEY_CLASSES_ROOT, server, nullptr, path) &&
                  SetValue(HKEY_CLASSES_ROOT, server, L"ThreadingModel", L"Apartment");
  return ok ? S_OK : SELFREG_E_CLASS;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClsidKey);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
