/* What the delivery tests do to a Windows machine, as its administrator's tools would:
 *   delivery_helper trust-root <certificate.der>   adds a CA to the machine's Root store (certutil -addstore Root)
 *   delivery_helper distrust-root <certificate.der> removes it again (certutil -delstore Root)
 *   delivery_helper winhttp-proxy <host:port>|none  sets WinHTTP's proxy (netsh winhttp set/reset proxy)
 *   delivery_helper hold <file> <milliseconds>      holds file open without sharing, as another program would
 * Prints what it did; exits 0, or 1 with the Windows error. */
/* wincrypt.h and winhttp.h need windows.h before them. */
/* clang-format off */
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
/* clang-format on */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failed(const char* what) {
    printf("%s failed (error %lu)\n", what, GetLastError());
    return 1;
}

/* Wine 8 keeps this store in HKLM\Software\Microsoft\SystemCertificates\Root\Certificates,
 * beside the host's CAs that it adds on its own, and WinHTTP's checks honour it (measured). */
static int change_root(const char* path, int trust) {
    static BYTE der[16384];
    size_t size;
    HCERTSTORE store;
    PCCERT_CONTEXT certificate;
    PCCERT_CONTEXT found;
    FILE* file = fopen(path, "rb");
    if (file == NULL) return failed("open certificate");
    size = fread(der, 1, sizeof der, file);
    fclose(file);
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == NULL) return failed("open Root store");
    if (trust) {
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, (DWORD)size,
                                              CERT_STORE_ADD_REPLACE_EXISTING, NULL)) {
            return failed("add certificate");
        }
    } else {
        certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der, (DWORD)size);
        if (certificate == NULL) return failed("read certificate");
        found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, NULL);
        CertFreeCertificateContext(certificate);
        if (found != NULL && !CertDeleteCertificateFromStore(found)) return failed("remove certificate");
    }
    CertCloseStore(store, 0);
    puts(trust ? "trusted" : "distrusted");
    return 0;
}

static int winhttp_proxy(const char* server) {
    WCHAR wide[256];
    WINHTTP_PROXY_INFO info;
    memset(&info, 0, sizeof info);
    if (strcmp(server, "none") == 0) {
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    } else {
        MultiByteToWideChar(CP_UTF8, 0, server, -1, wide, 256);
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        info.lpszProxy = wide;
    }
    if (!WinHttpSetDefaultProxyConfiguration(&info)) return failed("set WinHTTP proxy");
    printf("proxy %s\n", server);
    return 0;
}

static int hold(const char* path, const char* milliseconds) {
    HANDLE file = CreateFileA(path, GENERIC_READ, /*dwShareMode=*/0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return failed("hold");
    puts("held");
    Sleep(strtoul(milliseconds, NULL, 10));
    CloseHandle(file);
    return 0;
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && strcmp(argv[1], "trust-root") == 0) return change_root(argv[2], 1);
    if (argc == 3 && strcmp(argv[1], "distrust-root") == 0) return change_root(argv[2], 0);
    if (argc == 3 && strcmp(argv[1], "winhttp-proxy") == 0) return winhttp_proxy(argv[2]);
    if (argc == 4 && strcmp(argv[1], "hold") == 0) return hold(argv[2], argv[3]);
    fputs("usage: delivery_helper trust-root|distrust-root <der> | winhttp-proxy <host:port>|none | hold <file> <ms>\n",
          stderr);
    return 100;
}
