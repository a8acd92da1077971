#include "desktop/jpeg_image.h"

#include <QFile>
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace lumenpost {
namespace {

// libjpeg reports errors through a callback that must not return. It jumps back into
// RunDecoder, the one function that calls setjmp. Everything libjpeg changes lives in
// a JpegSession owned by the caller, and RunDecoder holds no object with a destructor,
// so the jump neither skips a destructor nor leaves a changed local behind.
struct JpegSession {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

extern "C" void JpegFail(j_common_ptr cinfo) {
    auto* session = static_cast<JpegSession*>(cinfo->client_data);
    (*cinfo->err->format_message)(cinfo, session->message);
    std::longjmp(session->jump, 1);
}

// A corrupt-data warning (level -1) means the picture is damaged: fail on it too.
extern "C" void JpegMessage(j_common_ptr cinfo, int level) {
    if (level < 0) {
        JpegFail(cinfo);
    }
}

// Where decoded rows go. With rows == nullptr only the size is read.
struct JpegTarget {
    unsigned char* rows;
    long stride;
    unsigned width;
    unsigned height;
};

// Returns true on success; on failure session->message says why.
bool RunDecoder(const unsigned char* data, unsigned long size, JpegTarget* target,
                JpegSession* session) {
    jpeg_decompress_struct* cinfo = &session->cinfo;
    cinfo->err = jpeg_std_error(&session->errors);
    session->errors.error_exit = JpegFail;
    session->errors.emit_message = JpegMessage;
    session->message[0] = '\0';
    if (setjmp(session->jump) != 0) {
        jpeg_destroy_decompress(&session->cinfo);
        return false;
    }
    cinfo->client_data = session; // kept by jpeg_create_decompress
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, data, size);
    jpeg_read_header(cinfo, TRUE);
    cinfo->out_color_space = JCS_RGB;
    jpeg_calc_output_dimensions(cinfo);
    target->width = cinfo->output_width;
    target->height = cinfo->output_height;
    if (target->rows != nullptr) {
        jpeg_start_decompress(cinfo);
        while (cinfo->output_scanline < cinfo->output_height) {
            JSAMPROW row =
                target->rows + static_cast<long>(cinfo->output_scanline) * target->stride;
            jpeg_read_scanlines(cinfo, &row, 1);
        }
        jpeg_finish_decompress(cinfo);
    }
    jpeg_destroy_decompress(cinfo);
    return true;
}

// The largest picture accepted; the program's own are far smaller.
constexpr unsigned kMaxSide = 4096;

} // namespace

DecodedJpeg DecodeJpeg(const QByteArray& data) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const auto size = static_cast<unsigned long>(data.size());
    JpegSession session{};
    JpegTarget target{nullptr, 0, 0, 0};
    if (data.isEmpty() || !RunDecoder(bytes, size, &target, &session)) {
        const QString reason =
            data.isEmpty() ? QStringLiteral("no data") : QString::fromLocal8Bit(session.message);
        return {QImage(), QStringLiteral("damaged JPEG picture: %1").arg(reason)};
    }
    if (target.width == 0 || target.height == 0 || target.width > kMaxSide ||
        target.height > kMaxSide) {
        return {QImage(), QStringLiteral("JPEG picture of unusable size %1 x %2")
                              .arg(target.width)
                              .arg(target.height)};
    }
    QImage image(static_cast<int>(target.width), static_cast<int>(target.height),
                 QImage::Format_RGB888);
    target.rows = image.bits();
    target.stride = static_cast<long>(image.bytesPerLine());
    if (!RunDecoder(bytes, size, &target, &session)) {
        return {QImage(), QStringLiteral("damaged JPEG picture: %1")
                              .arg(QString::fromLocal8Bit(session.message))};
    }
    return {image, QString()};
}

QImage LoadPicture(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "lumenpost: cannot read the picture %s: %s\n", qPrintable(path),
                     qPrintable(file.errorString()));
        return QImage();
    }
    DecodedJpeg decoded = DecodeJpeg(file.readAll());
    if (decoded.image.isNull()) {
        std::fprintf(stderr, "lumenpost: cannot show the picture %s: %s\n", qPrintable(path),
                     qPrintable(decoded.error));
    }
    return decoded.image;
}

} // namespace lumenpost
