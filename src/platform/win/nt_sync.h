// Native declarations of the sync area that mingw-w64's headers lack.
#pragma once

#ifndef _NTDEF_
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
#endif

extern "C" {
NTSYSAPI NTSTATUS NTAPI NtCreateEvent(PHANDLE event, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                      EVENT_TYPE type, BOOLEAN initial_state);
NTSYSAPI NTSTATUS NTAPI NtSetEvent(HANDLE event, PLONG previous_state);
NTSYSAPI NTSTATUS NTAPI NtClearEvent(HANDLE event);
NTSYSAPI NTSTATUS NTAPI NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval);
}

#ifndef STATUS_ALERTED
#define STATUS_ALERTED ((NTSTATUS)0x00000101)
#endif
#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#endif
