// Loaded into the real KestrinClient by its test through LD_PRELOAD: while
// the application runs, it writes the rows of the profile window's table, one
// a line, into the file that KESTRIN_ROWS_FILE names, whenever they change.
// The program itself stays as it ships.
#include <QApplication>
#include <QFile>
#include <QSaveFile>
#include <QTableView>
#include <QTimer>
#include <memory>

namespace {

QStringList ProfileRows()
{
    QStringList rows;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* window = top->objectName() == QStringLiteral("mainWindow")
                           ? top
                           : top->findChild<QWidget*>(QStringLiteral("mainWindow"));
        if (window == nullptr || !window->isVisible())
            continue;
        auto* table = window->findChild<QTableView*>(QStringLiteral("tableView"));
        if (table == nullptr || table->model() == nullptr)
            continue;
        for (int row = 0; row < table->model()->rowCount(); ++row)
            rows << table->model()->index(row, 0).data().toString().replace(QLatin1Char('\n'), QLatin1String(" | "));
    }
    return rows;
}

void Watch()
{
    const QString path = qEnvironmentVariable("KESTRIN_ROWS_FILE");
    if (path.isEmpty())
        return;
    auto* timer = new QTimer(QCoreApplication::instance());
    auto last = std::make_shared<QStringList>();
    QObject::connect(timer, &QTimer::timeout, timer, [path, last] {
        const QStringList rows = ProfileRows();
        if (rows == *last && QFile::exists(path))
            return;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return;
        for (const QString& row : rows)
            file.write(row.toUtf8() + '\n');
        if (file.commit())
            *last = rows;
    });
    timer->start(100);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(Watch)
