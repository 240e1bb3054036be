// The built updaters' manifests, read back the way the loader reads them: the
// display scaling they declare, under the namespaces Windows looks in.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "scenario.h"

namespace {

// A windowsSettings value of the exe's own manifest (resource 1), or
// "(none)" when the manifest does not declare it there.
std::wstring ManifestSetting(const std::string& exe, const wchar_t* settingsNamespace, const wchar_t* name) {
  wchar_t path[MAX_PATH];
  MultiByteToWideChar(CP_ACP, 0, exe.c_str(), -1, path, MAX_PATH);
  ACTCTXW context = {};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path;
  context.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE activation = CreateActCtxW(&context);
  if (activation == INVALID_HANDLE_VALUE)
    return L"(no manifest: error " + std::to_wstring(GetLastError()) + L")";
  wchar_t value[128] = {};
  SIZE_T length = 0;
  const bool found = QueryActCtxSettingsW(0, activation, settingsNamespace, name, value, 128, &length);
  ReleaseActCtx(activation);
  return found ? value : L"(none)";
}

// Per monitor (v2) where Windows has it, the system's DPI before: the
// system lays the dialog and the boxes out at the real DPI either way.
TEST(Manifest, DeclaresPerMonitorV2AndSystemDpiAwareness) {
  for (const std::string& exe : {kUpdater, BuildPath(UPDATER_ENGLISH_EXE)}) {
    SCOPED_TRACE(exe);
    EXPECT_EQ(ManifestSetting(exe, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"),
              L"true");
    EXPECT_EQ(ManifestSetting(exe, L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
              L"PerMonitorV2, System");
  }
}

}  // namespace
