#include "installer/flow/WorkerReport.h"

#include "core/install/InstallRun.h"

std::wstring FailureMessage(int code, const std::wstring& path) {
  switch (code) {
    case INSTALL_CREATE_FAILED:
      return L"创建文件" + path + L"失败";
    case INSTALL_REGISTER_FAILED:
      return L"注册组件" + path + L"失败";
    case INSTALL_REGISTER_HUNG:
      return L"注册组件" + path + L"无响应，安装已停止";
    default:
      return L"初始化资源列表失败，可能程序已损坏，请重新下载";
  }
}

SetupExit ExitForReport(int code) {
  switch (code) {
    case INSTALL_COMPLETE:
      return SetupExit::kInstalled;
    case INSTALL_CREATE_FAILED:
      return SetupExit::kWriteFailed;
    case INSTALL_REGISTER_FAILED:
    case INSTALL_REGISTER_HUNG:
      return SetupExit::kRegistrationFailed;
    case INSTALL_PACKAGE_UNREADABLE:
      return SetupExit::kPackageUnreadable;
    default:
      return SetupExit::kCancelled;  // stopped before its end
  }
}
