#include "desktop/jpeg_image.h"

#include <QFile>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

QByteArray Resource(const char* name) {
    QFile file(QStringLiteral(":/lumenpost/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(JpegImage, DecodesBothPicturesAtTheirSizes) {
    for (const auto& [name, size] :
         {std::pair{"logo.jpg", QSize(66, 46)}, std::pair{"banner.jpg", QSize(188, 18)}}) {
        const DecodedJpeg decoded = DecodeJpeg(Resource(name));
        ASSERT_FALSE(decoded.image.isNull()) << name << ": " << decoded.error.toStdString();
        EXPECT_EQ(decoded.image.size(), size) << name;
        EXPECT_TRUE(decoded.error.isEmpty());
    }
    // The banner is blue on its left end and green on its right (no grey fill).
    const QImage banner = DecodeJpeg(Resource("banner.jpg")).image;
    const QColor left = banner.pixelColor(1, 1);
    const QColor right = banner.pixelColor(186, 1);
    EXPECT_GT(left.blue(), left.green());
    EXPECT_GT(right.green(), right.blue());
}

TEST(JpegImage, DamagedDataGivesAnErrorInsteadOfAPicture) {
    const QByteArray logo = Resource("logo.jpg");
    ASSERT_GT(logo.size(), 400);
    QByteArray scrambled = logo;
    for (qsizetype i = logo.size() / 2; i < logo.size() - 2; ++i) {
        scrambled[i] = static_cast<char>(0xFF); // markers where entropy data should be
    }
    QByteArray badHeader = logo;
    badHeader[3] = 0x00; // the first marker's code
    for (const QByteArray& damaged : {logo.left(logo.size() / 2), scrambled, badHeader,
                                      QByteArray("not a picture"), QByteArray(), logo.left(2)}) {
        const DecodedJpeg decoded = DecodeJpeg(damaged);
        EXPECT_TRUE(decoded.image.isNull()) << damaged.size();
        EXPECT_FALSE(decoded.error.isEmpty());
    }
    EXPECT_TRUE(DecodeJpeg(logo.left(logo.size() / 2)).error.startsWith("damaged JPEG picture: "));
}

} // namespace
} // namespace lumenpost
