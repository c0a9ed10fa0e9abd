// Puts a CA certificate into a Trusted Root store of this Windows, or takes it out again, the way
// `certutil -addstore Root` does for an administrator: for `make run --tls` and the tests.
//   rootstore add machine|user FILE      FILE holds one certificate, PEM or DER
//   rootstore remove machine|user FILE
// Prints "added", "removed", "absent" or "fail <step> <error>"; exits 0 unless it failed.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD MaxFileBytes = 64 * 1024;

int Fail(const char* step) {
    std::printf("fail %s %lu\n", step, GetLastError());
    return 1;
}

// The certificate in a file: PEM text is decoded, anything else is taken as DER.
PCCERT_CONTEXT ReadCertificate(const char* path) {
    static BYTE file[MaxFileBytes];
    static BYTE der[MaxFileBytes];
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    DWORD length = 0;
    const BOOL read = ReadFile(handle, file, sizeof file, &length, nullptr);
    CloseHandle(handle);
    if (!read) return nullptr;
    DWORD derLength = sizeof der;
    if (CryptStringToBinaryA(reinterpret_cast<const char*>(file), length, CRYPT_STRING_BASE64HEADER, der,
                             &derLength, nullptr, nullptr)) {
        return CertCreateCertificateContext(X509_ASN_ENCODING, der, derLength);
    }
    return CertCreateCertificateContext(X509_ASN_ENCODING, file, length);
}

int Add(HCERTSTORE store, PCCERT_CONTEXT certificate) {
    if (!CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        return Fail("add");
    }
    std::printf("added\n");
    return 0;
}

int Remove(HCERTSTORE store, PCCERT_CONTEXT certificate) {
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
    if (found == nullptr) {
        std::printf("absent\n");
        return 0;
    }
    if (!CertDeleteCertificateFromStore(found)) return Fail("remove");  // frees `found` either way
    std::printf("removed\n");
    return 0;
}

struct Command {
    const char* Name;
    int (*Run)(HCERTSTORE store, PCCERT_CONTEXT certificate);
};
constexpr Command Commands[] = {{"add", Add}, {"remove", Remove}};

struct Location {
    const char* Name;
    DWORD Flags;
};
constexpr Location Locations[] = {{"machine", CERT_SYSTEM_STORE_LOCAL_MACHINE},
                                  {"user", CERT_SYSTEM_STORE_CURRENT_USER}};

}  // namespace

int main(int argc, char** argv) {
    const Command* command = nullptr;
    const Location* location = nullptr;
    for (const Command& c : Commands) {
        if (argc == 4 && std::strcmp(argv[1], c.Name) == 0) command = &c;
    }
    for (const Location& l : Locations) {
        if (argc == 4 && std::strcmp(argv[2], l.Name) == 0) location = &l;
    }
    if (command == nullptr || location == nullptr) {
        std::printf("usage: rootstore add|remove machine|user FILE\n");
        return 2;
    }
    PCCERT_CONTEXT certificate = ReadCertificate(argv[3]);
    if (certificate == nullptr) return Fail("read");
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, location->Flags, "ROOT");
    const int result = store == nullptr ? Fail("open") : command->Run(store, certificate);
    if (store != nullptr) CertCloseStore(store, 0);
    CertFreeCertificateContext(certificate);
    return result;
}
