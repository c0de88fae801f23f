// Thread bodies of the download pipeline. Each takes the main window, writes
// DownloadState and ends by posting one WM_APP_ message; neither touches the
// window otherwise.
#pragma once

#include <windows.h>

#include <string>

// Manifest, package size, free space and package path; ends with
// WM_APP_CONFIRM, WM_APP_DISK_WARNING or a failure report.
void PreparationWorker(HWND window) noexcept;

// Downloads the package next to the program; ends with WM_APP_COMPLETED, a
// failure report, or (when the window is closing or the session ends)
// silently, with no partial file left behind.
void TransferWorker(HWND window) noexcept;

// The drive letter that begins a volume path such as "C:\", or "当前磁盘"
// when the path does not begin with a letter and a colon.
std::wstring drive_label(const std::wstring& volume_path);
