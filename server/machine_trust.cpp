#include "server/machine_trust.h"

#include <wincrypt.h>

#include "server/host_text.h"

namespace {

bool SslPolicyHolds(PCCERT_CHAIN_CONTEXT chain, const char* host) {
    wchar_t name[HostTextSize];
    if (MultiByteToWideChar(CP_ACP, 0, host, -1, name, HostTextSize) == 0) return false;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = name;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) && status.dwError == 0;
}

// Whether the machine's own stores of roots hold the certificate: Root (where Group Policy puts
// an organisation's CA) and AuthRoot (third-party roots). Only administrators write either.
bool IsMachineRoot(PCCERT_CONTEXT root) {
    static constexpr const char* MachineRootStores[] = {"ROOT", "AuthRoot"};
    bool found = false;
    for (const char* name : MachineRootStores) {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                         CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, name);
        if (store == nullptr) continue;
        PCCERT_CONTEXT match = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
        found = found || match != nullptr;
        if (match != nullptr) CertFreeCertificateContext(match);
        CertCloseStore(store, 0);
    }
    return found;
}

// The server's certificate, with what it sent beside it, chained by the machine's engine. Neither
// that engine's verdict nor the SSL policy is enough alone: a root that the server sent itself
// and only the user trusts can pass both, so the chain's root must be one of the machine's own.
bool ChainsToMachineRoot(PCCERT_CONTEXT leaf, const char* host) {
    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, leaf, nullptr, leaf->hCertStore, &para, 0, nullptr, &chain)) {
        return false;
    }
    const CERT_SIMPLE_CHAIN* last = chain->cChain > 0 ? chain->rgpChain[chain->cChain - 1] : nullptr;
    const bool trusted = chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR && last != nullptr &&
                         last->cElement > 0 && IsMachineRoot(last->rgpElement[last->cElement - 1]->pCertContext) &&
                         SslPolicyHolds(chain, host);
    CertFreeCertificateChain(chain);
    return trusted;
}

}  // namespace

bool ServerIsTrustedByMachine(HINTERNET request, const char* host) {
    PCCERT_CHAIN_CONTEXT served = nullptr;
    DWORD size = sizeof served;
    if (!InternetQueryOptionA(request, INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &served, &size) || served == nullptr) {
        return false;
    }
    bool trusted = false;
    if (served->cChain > 0 && served->rgpChain[0]->cElement > 0) {
        trusted = ChainsToMachineRoot(served->rgpChain[0]->rgpElement[0]->pCertContext, host);
    }
    CertFreeCertificateChain(served);
    return trusted;
}
