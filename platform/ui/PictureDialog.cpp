// The save dialog and the clipboard, over the picture services.
#include "PictureDialog.h"

#include "DialogWindow.h"
#include "platform/imaging/files/PictureData.h"

#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QStandardPaths>

namespace ui {

using imaging::PictureFileType;

namespace {

QString g_lastFolder;  // where the user saved last, while the program runs

QString Filter(const PictureFileType& t)
{
    QStringList patterns;
    for (const std::string& e : t.extensions)
        patterns << "*." + QString::fromStdString(e);
    return QString::fromStdString(t.label) + " (" + patterns.join(' ') + ")";
}

QString StartFolder()
{
    QString folder = g_lastFolder;
    if (folder.isEmpty()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        if (folder.isEmpty() || !QDir(folder).exists())
            folder = QDir::homePath();
    }
    return folder;
}

}  // namespace

std::optional<SaveTarget> AskWhereToSave(Dialog& parent, const std::string& suggestedName)
{
    return AskWhereToSave(WidgetOf(parent), suggestedName);
}

std::optional<SaveTarget> AskWhereToSave(QWidget* parent, const std::string& suggestedName)
{
    const QString folder = StartFolder();
    const std::vector<PictureFileType> types = imaging::PictureFileTypes();
    QStringList filters;
    for (const PictureFileType& t : types)
        filters << Filter(t);
    QFileDialog dialog(parent, QStringLiteral("Save picture as"), folder);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    auto typeOfFilter = [&](const QString& filter) -> const PictureFileType& {
        const auto i = filters.indexOf(filter);
        return types[size_t(i < 0 ? 0 : i)];
    };
    // A name typed without an extension gets the chosen filter's, before the
    // dialog asks whether to replace an existing file.
    dialog.setDefaultSuffix(QString::fromStdString(types.front().extensions.front()));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& filter) {
        dialog.setDefaultSuffix(QString::fromStdString(typeOfFilter(filter).extensions.front()));
    });
    dialog.selectFile(QString::fromUtf8(suggestedName.c_str()));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    const QString path = dialog.selectedFiles().first();
    g_lastFolder = QFileInfo(path).absolutePath();
    SaveTarget target{QFile::encodeName(path).toStdString(), {}};
    target.format = imaging::PictureFormatOf(target.path);
    if (target.format.empty())
        target.format = typeOfFilter(dialog.selectedNameFilter()).name;
    return target;
}

std::optional<RecordTarget> AskWhereToRecord(Dialog& parent, const std::string& suggestedName)
{
    return AskWhereToRecord(WidgetOf(parent), suggestedName);
}

std::optional<RecordTarget> AskWhereToRecord(QWidget* parent, const std::string& suggestedName)
{
    // The suffix each filter gives a name typed without one; the folder's
    // "name" is a folder made for the recording.
    struct Kind {
        const char* filter;
        const char* suffix;
    };
    static const Kind kinds[] = {
        {"Matroska, FFV1 lossless (*.mkv)", "mkv"},
        {"Multi-page TIFF (*.tif *.tiff)", "tiff"},
        {"A folder, a TIFF file per frame (*)", ""},
    };
    QStringList filters;
    for (const Kind& k : kinds)
        filters << QString::fromUtf8(k.filter);
    QFileDialog dialog(parent, QStringLiteral("Record to"), StartFolder());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(kinds[0].suffix);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& filter) {
        const auto i = filters.indexOf(filter);
        dialog.setDefaultSuffix(QString::fromUtf8(kinds[i < 0 ? 0 : i].suffix));
    });
    dialog.selectFile(QString::fromUtf8(suggestedName.c_str()));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    const QString path = dialog.selectedFiles().first();
    g_lastFolder = QFileInfo(path).absolutePath();
    RecordTarget target{QFile::encodeName(path).toStdString()};
    if (dialog.selectedNameFilter() == filters.last() && (target.path.empty() || target.path.back() != '/'))
        target.path += '/';
    return target;
}

std::optional<std::string> AskWhichRecording(QWidget* parent)
{
    QFileDialog dialog(parent, QStringLiteral("Open recording"), StartFolder());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Recordings (*.mkv *.tif *.tiff frames.csv)"), QStringLiteral("All files (*)")});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    const QString path = dialog.selectedFiles().first();
    const QFileInfo info(path);
    g_lastFolder = info.absolutePath();
    // A folder recording is opened by its frames.csv: the folder is the recording.
    if (info.fileName() == QStringLiteral("frames.csv"))
        return QFile::encodeName(info.absolutePath()).toStdString() + '/';
    return QFile::encodeName(path).toStdString();
}

bool AskYesNo(Dialog& parent, const std::string& title, const std::string& question)
{
    QMessageBox box(QMessageBox::Question, QString::fromStdString(title), QString::fromStdString(question),
                    QMessageBox::Yes | QMessageBox::No, WidgetOf(parent));
    box.setTextFormat(Qt::PlainText);  // file names are not markup
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void CopyToClipboard(const imaging::Picture& picture)
{
    if (picture.IsNull())
        return;
    QImage image = imaging::PictureImage(*picture.data(), false);
    if (image.constBits() == picture.data()->top)
        image = image.copy();  // the clipboard keeps it longer than the picture lives
    QGuiApplication::clipboard()->setImage(image);
}

}  // namespace ui
