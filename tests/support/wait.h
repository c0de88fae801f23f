// The one way a test waits: for a condition it can observe, against a
// deadline, never for a fixed time in its place.
#pragma once

#include <windows.h>

#include <functional>

// Generous: on a loaded machine what usually takes milliseconds may take
// seconds, and only a fault should take longer.
inline constexpr DWORD kWaitTimeoutMs = 10000;

// Polls `condition` every 10 ms until it holds or `timeout_ms` passed; its
// last answer.
bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms = kWaitTimeoutMs);
