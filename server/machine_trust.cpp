// Before windows.h: the chain parameters then carry the revocation fetch time-out.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "server/machine_trust.h"

#include "server/host_text.h"
#include "server/system_library.h"

namespace {

// crypt32, loaded with the first secure link: an agent on a plain address never maps it.
struct CertificateCalls {
    decltype(&CertGetCertificateChain) GetChain;
    decltype(&CertFreeCertificateChain) FreeChain;
    decltype(&CertVerifyCertificateChainPolicy) VerifyPolicy;
    decltype(&CertOpenStore) OpenStore;
    decltype(&CertCloseStore) CloseStore;
    decltype(&CertFindCertificateInStore) FindInStore;
    decltype(&CertFreeCertificateContext) FreeCertificate;
};

const CertificateCalls* Calls() {
    static const CertificateCalls* calls = [] {
        static CertificateCalls loaded;
        HMODULE crypt32 = LoadSystemLibrary("crypt32.dll");
        const bool bound = BindCall(crypt32, "CertGetCertificateChain", loaded.GetChain) &&
                           BindCall(crypt32, "CertFreeCertificateChain", loaded.FreeChain) &&
                           BindCall(crypt32, "CertVerifyCertificateChainPolicy", loaded.VerifyPolicy) &&
                           BindCall(crypt32, "CertOpenStore", loaded.OpenStore) &&
                           BindCall(crypt32, "CertCloseStore", loaded.CloseStore) &&
                           BindCall(crypt32, "CertFindCertificateInStore", loaded.FindInStore) &&
                           BindCall(crypt32, "CertFreeCertificateContext", loaded.FreeCertificate);
        return bound ? &loaded : nullptr;
    }();
    return calls;
}

// How long fetching revocation lists may take, in all: well inside a request's deadline.
constexpr DWORD RevocationFetchMs = 5000;

bool SslPolicyHolds(const CertificateCalls& crypt, PCCERT_CHAIN_CONTEXT chain, const char* host) {
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
    return crypt.VerifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) && status.dwError == 0;
}

bool IsInStore(const CertificateCalls& crypt, DWORD location, const char* name, PCCERT_CONTEXT certificate) {
    HCERTSTORE store = crypt.OpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, location | CERT_STORE_READONLY_FLAG, name);
    if (store == nullptr) return false;
    PCCERT_CONTEXT match =
        crypt.FindInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
    if (match != nullptr) crypt.FreeCertificate(match);
    crypt.CloseStore(store, 0);
    return match != nullptr;
}

// Whether the machine's own stores of roots hold the certificate: Root (where Group Policy puts
// an organisation's CA) and AuthRoot (third-party roots). Only administrators write either.
bool IsMachineRoot(const CertificateCalls& crypt, PCCERT_CONTEXT root) {
    return IsInStore(crypt, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT", root) ||
           IsInStore(crypt, CERT_SYSTEM_STORE_LOCAL_MACHINE, "AuthRoot", root);
}

PCCERT_CONTEXT RootOf(PCCERT_CHAIN_CONTEXT chain) {
    if (chain->cChain == 0) return nullptr;
    const CERT_SIMPLE_CHAIN* last = chain->rgpChain[chain->cChain - 1];
    return last->cElement == 0 ? nullptr : last->rgpElement[last->cElement - 1]->pCertContext;
}

// The served certificate chained by `engine` for server authentication, or null; with
// `revocation`, each certificate but the root is looked up in its issuer's revocation list.
PCCERT_CHAIN_CONTEXT BuildChain(const CertificateCalls& crypt, HCERTCHAINENGINE engine, PCCERT_CONTEXT served,
                                bool revocation = false) {
    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    para.dwUrlRetrievalTimeout = RevocationFetchMs;
    const DWORD flags =
        revocation ? CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT : 0;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!crypt.GetChain(engine, served, nullptr, served->hCertStore, &para, flags, nullptr, &chain)) return nullptr;
    return chain;
}

// Neither the engine's verdict nor the SSL policy is enough alone: a root that the server sent
// itself and only the user trusts can pass both, so the chain's root must be one of the machine's.
bool IsTrustedChain(const CertificateCalls& crypt, PCCERT_CHAIN_CONTEXT chain, const char* host, bool machine) {
    if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR) return false;
    PCCERT_CONTEXT root = RootOf(chain);
    return root != nullptr && IsMachineRoot(crypt, root) == machine && SslPolicyHolds(crypt, chain, host);
}

// Revocation is checked as Windows' own HTTP layers check it by default: a certificate reported
// revoked is refused, while one whose status cannot be learnt (no distribution point, none
// reachable) is not, or an organisation's CA without a published list could never be trusted.
// A chain of its own, since the SSL policy counts an unknown status as a failure.
bool IsReportedRevoked(const CertificateCalls& crypt, PCCERT_CONTEXT served) {
    PCCERT_CHAIN_CONTEXT chain = BuildChain(crypt, HCCE_LOCAL_MACHINE, served, true);
    if (chain == nullptr) return true;
    const bool revoked = (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED) != 0;
    crypt.FreeChain(chain);
    return revoked;
}

// What the user's own trust would accept and the machine's does not: said apart from other
// refusals, since it is what a program of the user's sets up to answer for the server.
bool OnlyTheUserTrusts(const CertificateCalls& crypt, PCCERT_CONTEXT served, const char* host) {
    PCCERT_CHAIN_CONTEXT chain = BuildChain(crypt, HCCE_CURRENT_USER, served);
    if (chain == nullptr) return false;
    const bool userOnly = IsTrustedChain(crypt, chain, host, false);
    crypt.FreeChain(chain);
    return userOnly;
}

}  // namespace

namespace {

TrustVerdict Judge(const CertificateCalls& crypt, PCCERT_CONTEXT served, const char* host) {
    PCCERT_CHAIN_CONTEXT chain = BuildChain(crypt, HCCE_LOCAL_MACHINE, served);
    if (chain == nullptr) return TrustVerdict::Untrusted;
    const bool trusted = IsTrustedChain(crypt, chain, host, true);
    crypt.FreeChain(chain);
    if (trusted) return IsReportedRevoked(crypt, served) ? TrustVerdict::Untrusted : TrustVerdict::Trusted;
    return OnlyTheUserTrusts(crypt, served, host) ? TrustVerdict::UserRoot : TrustVerdict::Untrusted;
}

}  // namespace

TrustVerdict JudgeServerCertificate(PCCERT_CONTEXT served, const char* host) {
    const CertificateCalls* crypt = Calls();
    // Without crypt32 the certificate cannot be freed either; it was made by WinHTTP's own
    // crypt32, so the process has one, and failing to load it means memory has run out.
    if (crypt == nullptr || served == nullptr) return TrustVerdict::Untrusted;
    const TrustVerdict verdict = Judge(*crypt, served, host);
    crypt->FreeCertificate(served);
    return verdict;
}
