// Test-only: the control for the planted-library test. It imports CRYPT32 and WININET statically,
// as the downloader once did, so that a library planted beside it does run.
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

int main() {
  (void)CertCloseStore(nullptr, 0);
  (void)InternetCloseHandle(nullptr);
  return 0;
}
