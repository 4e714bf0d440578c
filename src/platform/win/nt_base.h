// Native memory calls.
#pragma once

extern "C" {
NTSYSAPI NTSTATUS NTAPI NtAllocateVirtualMemory(HANDLE process, PVOID* base, ULONG_PTR zero_bits,
                                                PSIZE_T size, ULONG type, ULONG protect);
NTSYSAPI NTSTATUS NTAPI NtFreeVirtualMemory(HANDLE process, PVOID* base, PSIZE_T size, ULONG type);
}

#ifndef NtCurrentProcess
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#endif
