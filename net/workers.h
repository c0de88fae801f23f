// Thread bodies of the download pipeline. Each takes the main window, writes
// DownloadState and ends by posting one WM_APP_ message; neither touches the
// window otherwise.
#pragma once

#include <windows.h>

// Manifest, package size, free space and package path; ends with
// WM_APP_CONFIRM, WM_APP_DISK_WARNING or a failure report.
void PreparationWorker(HWND window) noexcept;

// Downloads the package next to the program; ends with WM_APP_COMPLETED, a
// failure report, or (when the window is closing) silently, with no partial
// file left behind.
void TransferWorker(HWND window) noexcept;
