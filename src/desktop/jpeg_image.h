#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace lumenpost {

struct DecodedJpeg {
    QImage image;  // null when decoding failed
    QString error; // why it failed; empty on success
};

// Decodes a JPEG file's bytes with libjpeg into an RGB image. Damaged or truncated
// data gives an error instead of a half-grey picture.
DecodedJpeg DecodeJpeg(const QByteArray& data);

// Reads and decodes one of the program's pictures (a file or ":/" resource path).
// A picture that cannot be shown is reported on stderr and gives a null image, so
// the window still comes up.
QImage LoadPicture(const QString& path);

} // namespace lumenpost
