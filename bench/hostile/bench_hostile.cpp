// Hostile files against the thumbnail command and the text boxes: time and peak memory.
//
//   bench_hostile [FOTARIK ...]
//
// Writes each bomb into a temporary folder, runs "FOTARIK --thumbnail FILE 210x210" on it
// (through GNU time, so that the peak is the program's alone) for each program given
// (default: this build's), then loads each hostile text into a text box in a child
// process. Prints seconds, peak resident MiB and the exit code side by side.

#include "textview.h"
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hostileinputs.h"
#include "modul1.h"

namespace {

struct Bomb
{
    const char* name;
    std::function<QByteArray()> make;
    qint64 sparseTail = 0;
};

void printRun(const char* what, const char* who, const hostile::ChildRun& r)
{
    std::printf("%-34s %-12s %8.2f s %8lld MiB  exit %s\n", what, who, r.seconds, r.peakKiB / 1024,
                r.finished ? QByteArray::number(r.exitCode).constData() : "killed (guard)");
    std::fflush(stdout);
}

// Loads path into a text box of the given size in a child process that has its own
// application; the parent measures the child.
void textRun(const char* what, const QString& path, QSize box)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        int argc = 1;
        char name[] = "bench_hostile";
        char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        fotarik::TextView edit;
        edit.resize(box);
        edit.show();
        QElapsedTimer timer;
        timer.start();
        fotarik::LoadTextFile(QFile::encodeName(path), &edit);
        QApplication::processEvents();
        edit.repaint();
        // A resize, as the full-screen window gets.
        edit.resize(box + QSize(40, 40));
        fotarik::LoadTextFile(QFile::encodeName(path), &edit);
        QApplication::processEvents();
        edit.repaint();
        std::fprintf(stderr, "  (%s: load, show and one resize in %lld ms)\n", what, timer.elapsed());
        ::_exit(0);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    hostile::ChildRun r;
    r.finished = true;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peakKiB = usage.ru_maxrss;
    printRun(what, box.width() > 1000 ? "full screen" : "preview", r);
}

} // namespace

int main(int argc, char** argv)
{
    QStringList programs;
    for (int i = 1; i < argc; ++i)
        programs << QString::fromLocal8Bit(argv[i]);
    if (programs.isEmpty())
        programs << QStringLiteral(FOTARIK_EXE);

    for (qsizetype p = 0; p < programs.size(); ++p)
        std::printf("program %lld: %s\n", qlonglong(p + 1), qPrintable(programs[p]));
    QTemporaryDir dir;
    const std::vector<Bomb> bombs = {
        {"progressive jpeg 45000x45000", [] { return hostile::progressiveJpeg(45000, 45000, 1); }},
        {"jpeg 8000x8000, 50000 empty scans", [] { return hostile::progressiveJpeg(8000, 8000, 50000); }},
        {"png, 1 GiB text chunk (sparse)", [] { return hostile::pngWithHugeChunkHead(qint64(1) << 30); },
         qint64(1) << 30},
        {"png, 2 GiB chunk declared",
         [] { return hostile::pngWithHugeChunkHead(0x7FFFFFF0) + hostile::pngEnd(); }},
        {"gzip'd svg (200 MB unpacked) as jpg", [] { return hostile::gzippedSvg(200 * 1024 * 1024); }},
        {"16 MB emf, 1e6 line records", [] { return hostile::emfOfLines(1000000); }},
        {"7 MB emf, 450000 line records", [] { return hostile::emfOfLines(450000); }},
        {"10 MB wmf, 1e6 line records", [] { return hostile::wmfOfLines(1000000); }},
        {"7 MB wmf, 700000 line records", [] { return hostile::wmfOfLines(700000); }},
    };
    const char* suffixes[] = {".jpg", ".jpg", ".png", ".png", ".jpg", ".emf", ".emf", ".wmf", ".wmf"};
    for (size_t i = 0; i < bombs.size(); ++i) {
        const QString path = dir.filePath(QStringLiteral("bomb%1").arg(i) + QLatin1String(suffixes[i]));
        const QByteArray content = bombs[i].make();
        if (bombs[i].sparseTail)
            hostile::writeSparseFile(path, content, bombs[i].sparseTail, hostile::pngEnd());
        else
            hostile::writeFile(path, content);
        for (qsizetype p = 0; p < programs.size(); ++p) {
            const QString& program = programs[p];
            const hostile::ChildRun r =
                hostile::runProgram(program, {QStringLiteral("--thumbnail"), path, QStringLiteral("210x210")},
                                    120, {QStringLiteral("QT_QPA_PLATFORM=offscreen")});
            printRun(bombs[i].name, qPrintable(QStringLiteral("program %1").arg(p + 1)), r);
        }
        QFile::remove(path);
    }

    const QString line = dir.filePath(QStringLiteral("line.txt"));
    hostile::writeFile(line, QByteArray(16 * 1024 * 1024, 'x'));
    QByteArray html("<!DOCTYPE html><html><head><title>x</title></head><body>");
    while (html.size() < 2 * 1024 * 1024)
        html += "<div class=\"a\"><span>Wort</span><a href=\"#\">Verweis</a></div>";
    html += "</body></html>";
    const QString page = dir.filePath(QStringLiteral("page.html"));
    hostile::writeFile(page, html);
    textRun("16 MiB text of one line", line, {210, 210});
    textRun("16 MiB text of one line", line, {1890, 1000});
    textRun("2 MB minified html", page, {210, 210});
    textRun("2 MB minified html", page, {1890, 1000});
    return 0;
}
