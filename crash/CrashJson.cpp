#include "crash/CrashHandlerReport.h"

#include <bcrypt.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

void ReplaceAll(std::wstring& text, const std::wstring& what, const std::wstring& with) {
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
}

}  // namespace

std::string CrashHandlerReport::Md5Hex(const std::string& bytes) {
    std::string hex;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) return hex;
    UCHAR digest[16] = {};
    if (BCRYPT_SUCCESS(::BCryptHash(algorithm, nullptr, 0,
                                    reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                    static_cast<ULONG>(bytes.size()), digest, sizeof(digest)))) {
        char two[3];
        for (UCHAR b : digest) {
            std::snprintf(two, sizeof(two), "%02x", b);
            hex += two;
        }
    }
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
    return hex;
}

std::wstring CrashHandlerReport::CrashJson(const std::string& preview, const std::wstring& date,
                                           const std::string& osName, const std::string& module) {
    std::wstring text =
        L"{\n\"ExceptionHash\": \"ALIAS_EXCEPTION_HASH\",\n\"ExceptionDate\": \"ALIAS_EXCEPTION_DATE\",\n"
        L"\"Version\": \"ALIAS_VERSION\",\n\"SubSystem\": \"ALIAS_SUB_SYSTEM\",\n\"Preview\": \"ALIAS_PREVIEW\",\n"
        L"\"Username\": \"\",\n\"IsUnique\": true,\n\"FailedCount\": 0,\n\"Status\": 1,\n\"LastSendAttempt\": null,\n"
        L"\"CustomValues\":\n{\n\"OS\": \"ALIAS_OS\",\n\"Module\": \"ALIAS_MODULE\"\n}\n}\n";
    ReplaceAll(text, L"ALIAS_EXCEPTION_HASH", Wide(Md5Hex(preview)));
    ReplaceAll(text, L"ALIAS_PREVIEW", Wide(preview));
    ReplaceAll(text, L"ALIAS_EXCEPTION_DATE", date);
    ReplaceAll(text, L"ALIAS_VERSION", Wide(kVersion));
    ReplaceAll(text, L"ALIAS_SUB_SYSTEM", L"Overlay");
    ReplaceAll(text, L"ALIAS_OS", Wide(osName));
    // A file name holds neither quotes nor backslashes: nothing to escape.
    ReplaceAll(text, L"ALIAS_MODULE", Wide(module));
    return text;
}
