#include "protocol/win/tls_pin_check_win.h"

#include <wincrypt.h>

#include "protocol/tls_pins.h"

namespace corlinq::win {
namespace {

constexpr DWORD kServerCertChainOption = 105;  // INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT

}  // namespace

bool ServerKeyAllowed(HINTERNET request, bool secure, const std::vector<std::string>& pins) {
  if (pins.empty()) return true;
  if (!secure) return false;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  DWORD size = sizeof(chain);
  if (!InternetQueryOptionW(request, kServerCertChainOption, &chain, &size) || chain == nullptr) return false;
  bool allowed = false;
  // The server's own certificate is the first element of the first simple chain.
  if (chain->cChain > 0 && chain->rgpChain[0] != nullptr && chain->rgpChain[0]->cElement > 0) {
    const CERT_CHAIN_ELEMENT* leaf = chain->rgpChain[0]->rgpElement[0];
    if (leaf != nullptr && leaf->pCertContext != nullptr) {
      allowed = CertificateMatchesPins(leaf->pCertContext->pbCertEncoded, leaf->pCertContext->cbCertEncoded, pins);
    }
  }
  CertFreeCertificateChain(chain);
  return allowed;
}

bool PlainHttpAllowed() { return BuildTlsPins().empty(); }

bool ServerKeyAllowed(HINTERNET request, bool secure) { return ServerKeyAllowed(request, secure, BuildTlsPins()); }

}  // namespace corlinq::win
