// Mode 0, 1 or 2's job bare: read the file, MD5 and/or SHA-1 through libcrypto, write the hex
// through QSaveFile. Usage: digest_reference MODE FILE RESULT
#include <QByteArray>
#include <QFile>
#include <QSaveFile>

#include <openssl/evp.h>

#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const int mode = std::atoi(argv[1]);
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    EVP_MD_CTX *md5 = EVP_MD_CTX_new(), *sha1 = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md5, EVP_md5(), nullptr);
    EVP_DigestInit_ex(sha1, EVP_sha1(), nullptr);
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (qint64 got; (got = file.read(buffer.data(), buffer.size())) > 0;) {
        if (mode != 1)
            EVP_DigestUpdate(md5, buffer.constData(), size_t(got));
        if (mode != 0)
            EVP_DigestUpdate(sha1, buffer.constData(), size_t(got));
    }
    auto hex = [](EVP_MD_CTX *context) {
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context, value, &length);
        return QByteArray(reinterpret_cast<const char *>(value), int(length)).toHex();
    };
    QByteArray text = "[\n";
    if (mode != 1)
        text += "    {\n        \"MD5\": \"" + hex(md5) + "\"\n    }" + (mode == 2 ? ",\n" : "\n");
    if (mode != 0)
        text += "    {\n        \"SHA1\": \"" + hex(sha1) + "\"\n    }\n";
    text += "]\n";
    QSaveFile result(QString::fromLocal8Bit(argv[3]));
    return result.open(QIODevice::WriteOnly) && result.write(text) == text.size() && result.commit() ? 0 : 1;
}
