// What the host's events and boxes say, byte for byte: scripts and
// monitoring match on these. tests/e2e/texts.py holds the same texts under
// the same names in capitals (LaunchFailed is LAUNCH_FAILED), and a lint test
// checks that the two agree.
#pragma once

// Events.
const wchar_t* const Launched = L"子进程创建成功!cmd=";
const wchar_t* const LaunchFailed = L"子进程创建失败!cmd=";
const wchar_t* const StoppedEvent = L"Service stopped";
const wchar_t* const DispatcherReturned = L"Register Service Main Function Succeed!";
const wchar_t* const DispatcherFailed = L"Register Service Main Function Error!";
const wchar_t* const HandlerNotInstalled = L"Handler not installed";
const wchar_t* const BadServiceRequest = L"Bad service request";
const wchar_t* const NotDeleted = L"Service could not be deleted";
const wchar_t* const Refused = L"Only administrators may change what this service runs, but ";
// The exit code, in decimal, stands between these two; the lines follow.
const wchar_t* const LastWordsBefore = L"The program ended by itself with exit code ";
const wchar_t* const LastWordsAfter = L". The last lines of its console:\r\n";

// Boxes (and, where nobody sees one, standard error and an event).
const wchar_t* const BoxCaption = L"ERROR";
const wchar_t* const CreateFailed = L"CreateServiceW() 失败!";
const wchar_t* const ManagerFailed = L"OpenSCManager() 失败!";
const wchar_t* const EventSourceFailed = L"RegisterEventSource() Failed!";
