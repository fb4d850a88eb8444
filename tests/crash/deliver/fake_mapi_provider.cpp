// A MAPI mail client for the tests: Wine's mapi32 hands MAPISendMail to the
// provider registered under HKLM\Software\Clients\Mail. It appends what it
// received to the file named by CORVAN_FAKE_MAPI_LOG and answers with
// CORVAN_FAKE_MAPI_RESULT (default 0, success). With CORVAN_FAKE_MAPI_WINDOW
// (a window handle in decimal) it first sends that window a message, as
// mail clients do to their parent, and logs whether it was answered.
#include <windows.h>
// windows.h before mapi.h
#include <mapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Variable(const char* name) {
  char value[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? value : "";
}

const char* Text(const char* s) { return s ? s : "(null)"; }

}  // namespace

extern "C" __declspec(dllexport) ULONG WINAPI
    MAPISendMail(LHANDLE session, ULONG_PTR, lpMapiMessage message, FLAGS flags, ULONG) {
  const std::string log = Variable("CORVAN_FAKE_MAPI_LOG");
  if (FILE* out = log.empty() ? nullptr : std::fopen(log.c_str(), "ab")) {
    const std::string window = Variable("CORVAN_FAKE_MAPI_WINDOW");
    if (!window.empty()) {
      DWORD_PTR answer = 0;
      const bool answered =
          SendMessageTimeoutA(reinterpret_cast<HWND>(std::strtoul(window.c_str(), nullptr, 10)),
                              WM_NULL, 0, 0, SMTO_NORMAL, 3000, &answer);
      std::fprintf(out, "window answered %s\n", answered ? "yes" : "no");
    }
    std::fprintf(out, "session %lu flags %lu\n", static_cast<unsigned long>(session),
                 static_cast<unsigned long>(flags));
    std::fprintf(out, "subject %s\nbody %s\n", Text(message->lpszSubject),
                 Text(message->lpszNoteText));
    for (ULONG i = 0; i < message->nRecipCount; ++i) {
      const MapiRecipDesc& r = message->lpRecips[i];
      std::fprintf(out, "to %lu [%s] [%s]\n", static_cast<unsigned long>(r.ulRecipClass),
                   Text(r.lpszName), Text(r.lpszAddress));
    }
    for (ULONG i = 0; i < message->nFileCount; ++i) {
      const MapiFileDesc& f = message->lpFiles[i];
      std::fprintf(out, "file %lx [%s] [%s]\n", static_cast<unsigned long>(f.nPosition),
                   Text(f.lpszPathName), Text(f.lpszFileName));
    }
    std::fclose(out);
  }
  const std::string result = Variable("CORVAN_FAKE_MAPI_RESULT");
  return result.empty() ? SUCCESS_SUCCESS : std::strtoul(result.c_str(), nullptr, 10);
}
