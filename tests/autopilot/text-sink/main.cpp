// A plain Qt text editor window for the typing tests: what is typed into it
// is written as UTF-8 to the file named by the first argument on Ctrl+S,
// and the program ends.

#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QShortcut>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString path = QString::fromLocal8Bit(argv[1]);
    QPlainTextEdit editor;
    editor.setWindowTitle(QStringLiteral("typing-target"));
    editor.resize(900, 600);
    QShortcut save(QKeySequence(QStringLiteral("Ctrl+S")), &editor);
    QObject::connect(&save, &QShortcut::activated, [&]() {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(editor.toPlainText().toUtf8());
        file.close();
        app.quit();
    });
    editor.show();
    return app.exec();
}
