// The on-disk records of a minidump file, as the crash handler writes them.
//
// Little-endian, packed to the byte: these structs are exactly what goes to the file, so
// their sizes and member offsets are the format's own and are checked below at compile time.
// RVAs are 32-bit offsets from the start of the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zeplog::detail::minidump {

inline constexpr std::uint32_t kSignature = 0x504D444D;  // "MDMP"
inline constexpr std::uint32_t kVersion = 0xA793;

// Stream types.
enum StreamType : std::uint32_t {
  kThreadList = 3,
  kModuleList = 4,
  kMemoryList = 5,
  kException = 6,
  kSystemInfo = 7,
  kMiscInfo = 15,
  kBreakpadInfo = 0x47670001,
  kLinuxCpuInfo = 0x47670003,
  kLinuxProcStatus = 0x47670004,
  kLinuxLsbRelease = 0x47670005,
  kLinuxCmdLine = 0x47670006,
  kLinuxAuxv = 0x47670008,
  kLinuxMaps = 0x47670009,
};

#pragma pack(push, 1)

struct Header {
  std::uint32_t signature;
  std::uint32_t version;
  std::uint32_t streamCount;
  std::uint32_t directoryRva;
  std::uint32_t checkSum;
  std::uint32_t timeDateStamp;
  std::uint64_t flags;
};

struct Location {
  std::uint32_t dataSize;
  std::uint32_t rva;
};

struct Directory {
  std::uint32_t streamType;
  Location location;
};

struct MemoryDescriptor {
  std::uint64_t startOfMemoryRange;
  Location memory;
};

struct Thread {
  std::uint32_t threadId;
  std::uint32_t suspendCount;
  std::uint32_t priorityClass;
  std::uint32_t priority;
  std::uint64_t teb;
  MemoryDescriptor stack;
  Location threadContext;
};

struct Module {
  std::uint64_t baseOfImage;
  std::uint32_t sizeOfImage;
  std::uint32_t checkSum;
  std::uint32_t timeDateStamp;
  std::uint32_t moduleNameRva;
  std::uint32_t versionInfo[13];
  Location cvRecord;
  Location miscRecord;
  std::uint64_t reserved[2];
};

struct Exception {
  std::uint32_t threadId;
  std::uint32_t alignment;
  std::uint32_t exceptionCode;
  std::uint32_t exceptionFlags;
  std::uint64_t exceptionRecord;
  std::uint64_t exceptionAddress;
  std::uint32_t numberParameters;
  std::uint32_t unusedAlignment;
  std::uint64_t exceptionInformation[15];
  Location threadContext;
};

struct SystemInfo {
  std::uint16_t processorArchitecture;
  std::uint16_t processorLevel;
  std::uint16_t processorRevision;
  std::uint8_t numberOfProcessors;
  std::uint8_t productType;
  std::uint32_t majorVersion;
  std::uint32_t minorVersion;
  std::uint32_t buildNumber;
  std::uint32_t platformId;
  std::uint32_t csdVersionRva;
  std::uint16_t suiteMask;
  std::uint16_t reserved2;
  std::uint32_t vendorId[3];  // x86: cpuid 0's ebx, edx, ecx
  std::uint32_t versionInformation;
  std::uint32_t featureInformation;
  std::uint32_t amdExtendedCpuFeatures;
};

struct MiscInfo {
  std::uint32_t sizeOfInfo;
  std::uint32_t flags1;
  std::uint32_t processId;
  std::uint32_t processCreateTime;
  std::uint32_t processUserTime;
  std::uint32_t processKernelTime;
};

struct BreakpadInfo {
  std::uint32_t validity;
  std::uint32_t dumpThreadId;
  std::uint32_t requestingThreadId;
};

// The x86-64 thread context: integer, control and segment registers, then the FXSAVE image
// of the x87/SSE state. The vector and debug-control words after it stay zero.
struct ContextAmd64 {
  std::uint64_t pHome[6];
  std::uint32_t contextFlags;
  std::uint32_t mxCsr;
  std::uint16_t segCs, segDs, segEs, segFs, segGs, segSs;
  std::uint32_t eFlags;
  std::uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
  std::uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
  std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  std::uint64_t rip;
  unsigned char fxsave[512];
  unsigned char vectorRegister[26][16];
  std::uint64_t vectorControl;
  std::uint64_t debugControl;
  std::uint64_t lastBranchToRip, lastBranchFromRip;
  std::uint64_t lastExceptionToRip, lastExceptionFromRip;
};

#pragma pack(pop)

inline constexpr std::uint32_t kContextAmd64 = 0x00100000;
inline constexpr std::uint32_t kContextControl = 1, kContextInteger = 2, kContextSegments = 4,
                               kContextFloatingPoint = 8;
inline constexpr std::uint16_t kArchitectureAmd64 = 9;
inline constexpr std::uint32_t kPlatformLinux = 0x8201;
inline constexpr std::uint32_t kCvSignatureElf = 0x4270454C;  // "LEpB" on disk
inline constexpr std::uint32_t kMiscInfoProcessId = 1;
inline constexpr std::uint32_t kBreakpadInfoValid = 3;  // both thread ids are valid

// The record sizes and member offsets of the format.
static_assert(sizeof(Header) == 32 && sizeof(Directory) == 12 && sizeof(Location) == 8);
static_assert(sizeof(MemoryDescriptor) == 16 && sizeof(Thread) == 48);
static_assert(offsetof(Thread, stack) == 24 && offsetof(Thread, threadContext) == 40);
static_assert(sizeof(Module) == 108 && offsetof(Module, moduleNameRva) == 20);
static_assert(offsetof(Module, cvRecord) == 76 && offsetof(Module, miscRecord) == 84);
static_assert(sizeof(Exception) == 168 && offsetof(Exception, exceptionAddress) == 24);
static_assert(offsetof(Exception, exceptionInformation) == 40);
static_assert(offsetof(Exception, threadContext) == 160);
static_assert(sizeof(SystemInfo) == 56 && offsetof(SystemInfo, csdVersionRva) == 24);
static_assert(offsetof(SystemInfo, vendorId) == 32);
static_assert(sizeof(MiscInfo) == 24 && sizeof(BreakpadInfo) == 12);
static_assert(sizeof(ContextAmd64) == 1232 && offsetof(ContextAmd64, contextFlags) == 48);
static_assert(offsetof(ContextAmd64, segCs) == 56 && offsetof(ContextAmd64, eFlags) == 68);
static_assert(offsetof(ContextAmd64, rax) == 120 && offsetof(ContextAmd64, rsp) == 152);
static_assert(offsetof(ContextAmd64, r15) == 240 && offsetof(ContextAmd64, rip) == 248);
static_assert(offsetof(ContextAmd64, fxsave) == 256);
static_assert(offsetof(ContextAmd64, vectorRegister) == 768);
static_assert(offsetof(ContextAmd64, vectorControl) == 1184);

}  // namespace zeplog::detail::minidump
