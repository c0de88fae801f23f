#include "net/workers.h"

void PreparationWorker(HWND) noexcept {}

void TransferWorker(HWND) noexcept {}
