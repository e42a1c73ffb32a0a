#pragma once
#include <exception>
#include <string>

namespace Overlay::Common {

// The host's own exception family. Thrown by value, caught by reference.
class OverlayException : public std::exception {
public:
    explicit OverlayException(const char* message) : message_(message ? message : "") {}
    explicit OverlayException(const std::string& message) : message_(message) {}
    OverlayException(const OverlayException&) = default;
    OverlayException& operator=(const OverlayException&) = default;
    ~OverlayException() override = default;

    const char* what() const noexcept override { return message_.c_str(); }
    virtual std::wstring GetTypeName() const { return L"OverlayException"; }

    const std::string& Detail() const { return detail_; }
    void SetDetail(const std::string& detail) { detail_ = detail; }

private:
    std::string message_;
    std::string detail_;
};

// What a processor or system fault becomes once the crash-report writer has handled it.
class StructuredException : public OverlayException {
public:
    using OverlayException::OverlayException;
    std::wstring GetTypeName() const override { return L"StructuredException"; }
};

}  // namespace Overlay::Common
