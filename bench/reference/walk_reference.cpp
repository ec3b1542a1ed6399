// Mode 3's job bare: list a folder recursively with QDirIterator, sum the sizes and count the
// folders and files, write them through QSaveFile. Usage: walk_reference FOLDER RESULT
#include <QDirIterator>
#include <QFileInfo>
#include <QSaveFile>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    qint64 bytes = 0, folders = 0, files = 0;
    QDirIterator it(QString::fromLocal8Bit(argv[1]), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink()) {
            ++folders;
        } else {
            ++files;
            bytes += info.size();
        }
    }
    const QByteArray text = "[\n    {\n        \"Total Size\": \"" + QByteArray::number(bytes) + " bytes\"\n    },\n    {\n" +
                            "        \"Folder Count \": \"" + QByteArray::number(folders) + "\"\n    },\n    {\n" +
                            "        \"File Count\": \"" + QByteArray::number(files) + "\"\n    }\n]\n";
    QSaveFile result(QString::fromLocal8Bit(argv[2]));
    return result.open(QIODevice::WriteOnly) && result.write(text) == text.size() && result.commit() ? 0 : 1;
}
