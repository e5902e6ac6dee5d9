// The conversation between the service and its algorithm-module helper (program OrvaneZsm).
//
// The service starts the helper with the stream socket at descriptor kHostSocketFd and every
// message framed by CFrameChannel. Each request is one operation byte and its payload; each
// answer is one status byte and its payload:
//
//   kOpLoad   key identifier (kKeyIdLen bytes) + shared object image
//             -> kStLoaded, or kStLoadFailed + reason text. Always the first request.
//   kOpCode   plain text (no terminator)
//             -> kStText + coded text, kStNoSymbol ("Code" missing), kStFailed (Code gave null)
//   kOpDecode coded text (no terminator)
//             -> kStText + decoded text, kStNoSymbol ("Prepare" missing),
//                kStFailed + Prepare's status as 4 bytes little-endian
//   Either     -> kStTooLarge when the module's text is longer than kMaxAnswer; the helper then
//                ends, since a module that far off is not trusted with the next request.
//
// The helper answers in order, one answer per request; it ends when its socket closes.
#pragma once

#include <cstdint>

namespace ZsmProtocol {

constexpr int kHostSocketFd = 3;
constexpr unsigned kKeyIdLen = 3;
constexpr const char* kHostProgram = "OrvaneZsm";

// Requests carry at most one container image; answers at most kMaxAnswer bytes, since portal
// documents are a few kilobytes and anything far larger is a module gone wrong.
constexpr uint32_t kMaxRequest = (64u << 20) + 4096;
constexpr uint32_t kMaxAnswer = 16u << 20;

constexpr char kOpLoad = 'L';
constexpr char kOpCode = 'C';
constexpr char kOpDecode = 'D';

constexpr char kStLoaded = 'K';
constexpr char kStLoadFailed = 'E';
constexpr char kStText = 'R';
constexpr char kStNoSymbol = 'M';
constexpr char kStFailed = 'F';
constexpr char kStTooLarge = 'T';

// Sanitizer runtimes make system calls of their own (reports, shadow memory, statistics); builds
// with one keep the helper's standard error and refuse unlisted calls softly (see OrvaneZsm).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerRuntime = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizerRuntime = true;
#else
constexpr bool kSanitizerRuntime = false;
#endif
#else
constexpr bool kSanitizerRuntime = false;
#endif

}  // namespace ZsmProtocol
