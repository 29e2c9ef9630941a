#pragma once

#include <array>

#include <QList>
#include <QPoint>
#include <QString>

namespace marlox {

// A QR code or barcode found in a screenshot: what it says, in which
// symbology, and its four corners in image pixels (top left, top right,
// bottom right, bottom left as the code reads, so a turned code keeps them).
struct ScreenshotCode
{
    QString format; // "QRCode", "EAN-13", …
    QString text;
    std::array<QPoint, 4> corners {};

    // One-time-password set-ups: shown and copyable, never in a search index.
    bool isSecret() const { return isSecretText(text); }
    static bool isSecretText(const QString &text);
    // An http or https address, which the detail view offers to open.
    bool isWebLink() const;

    bool operator==(const ScreenshotCode &other) const = default;
};

} // namespace marlox
