#include "mediacommands.h"

#include <QFile>
#include <QPointer>

#include "mediaqt.h"
#include "messagebox.h"
#include "readablefile.h"

namespace fotarik {

QString mciErrorText(uint32_t error)
{
    switch (error) {
    case mci::NoError:
        return QStringLiteral("Der Befehl wurde ausgeführt.");
    case mci::UnrecognizedKeyword:
        return QStringLiteral("Der Befehl enthält einen unbekannten Parameter.");
    case mci::UnrecognizedCommand:
        return QStringLiteral("Der Befehl ist unbekannt.");
    case mci::InvalidDeviceName:
        return QStringLiteral("Ungültiger Gerätename. Das Gerät ist nicht geöffnet oder unbekannt.");
    case mci::DeviceOpen:
        return QStringLiteral("Das Gerät ist bereits geöffnet.");
    case mci::CannotLoadDriver:
        return QStringLiteral("Der Medientreiber kann nicht geladen werden.");
    case mci::BadInteger:
        return QStringLiteral("Der Befehl enthält eine ungültige Zahl.");
    case mci::MissingParameter:
        return QStringLiteral("Im Befehl fehlt ein Parameter.");
    case mci::FileNotFound:
        return QStringLiteral("Die angegebene Datei wurde nicht gefunden.");
    case mci::CannotUseAll:
        return QStringLiteral("\"all\" ist mit diesem Befehl nicht erlaubt.");
    case mci::DuplicateAlias:
        return QStringLiteral("Der Alias wird bereits verwendet.");
    case mci::MissingDeviceName:
        return QStringLiteral("Im Befehl fehlt der Gerätename.");
    case mci::InvalidFile:
        return QStringLiteral(
            "Die Datei kann nicht abgespielt werden: Format unbekannt oder Datei beschädigt.");
    default:
        return QStringLiteral("Unbekannter Medienfehler %1.").arg(error);
    }
}

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Splits a command into words; a word in double quotes may hold blanks, "" inside is one quote.
bool tokenize(const QByteArray& command, QByteArrayList* words)
{
    qsizetype i = 0;
    const qsizetype n = command.size();
    while (true) {
        while (i < n && isBlank(command[i]))
            ++i;
        if (i >= n)
            return true;
        QByteArray word;
        if (command[i] == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                if (command[i] == '"') {
                    if (i + 1 < n && command[i + 1] == '"') {
                        word += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                word += command[i++];
            }
            if (!closed)
                return false;
        } else {
            while (i < n && !isBlank(command[i]))
                word += command[i++];
        }
        words->append(word);
    }
}

bool keywordIs(const QByteArray& word, const char* keyword)
{
    return word.compare(keyword, Qt::CaseInsensitive) == 0;
}

} // namespace

uint32_t parseMediaCommand(const QByteArray& command, MediaCommand* out)
{
    QByteArrayList words;
    if (!tokenize(command, &words))
        return mci::MissingParameter;
    if (words.isEmpty())
        return mci::UnrecognizedCommand;

    MediaCommand parsed;
    const QByteArray& verb = words[0];
    if (keywordIs(verb, "open"))
        parsed.verb = MediaCommand::Verb::Open;
    else if (keywordIs(verb, "play"))
        parsed.verb = MediaCommand::Verb::Play;
    else if (keywordIs(verb, "stop"))
        parsed.verb = MediaCommand::Verb::Stop;
    else if (keywordIs(verb, "close"))
        parsed.verb = MediaCommand::Verb::Close;
    else
        return mci::UnrecognizedCommand;

    if (words.size() < 2 || words[1].isEmpty())
        return mci::MissingDeviceName;
    parsed.device = words[1];

    for (qsizetype i = 2; i < words.size(); i += 2) {
        const QByteArray& keyword = words[i];
        const bool known = (parsed.verb == MediaCommand::Verb::Open &&
                            (keywordIs(keyword, "type") || keywordIs(keyword, "alias"))) ||
                           (parsed.verb == MediaCommand::Verb::Play && keywordIs(keyword, "from"));
        if (!known)
            return mci::UnrecognizedKeyword;
        if (i + 1 >= words.size() || words[i + 1].isEmpty())
            return mci::MissingParameter;
        const QByteArray& value = words[i + 1];
        if (keywordIs(keyword, "type")) {
            parsed.type = value.toLower();
        } else if (keywordIs(keyword, "alias")) {
            parsed.alias = value;
        } else {
            bool ok = false;
            const qlonglong from = value.toLongLong(&ok);
            if (!ok || from < 0)
                return mci::BadInteger;
            parsed.from = from;
        }
    }
    *out = parsed;
    return mci::NoError;
}

QByteArray quoteMediaPath(const QByteArray& path)
{
    if (!path.contains(' ') && !path.contains('\t') && !path.contains('"'))
        return path;
    QByteArray quoted = path;
    quoted.replace("\"", "\"\"");
    return '"' + quoted + '"';
}

bool looksLikeMedia(const QByteArray& head)
{
    const auto at = [&](qsizetype offset, QByteArrayView magic) {
        return head.size() >= offset + magic.size() &&
               QByteArrayView(head).sliced(offset, magic.size()) == magic;
    };
    static const QByteArrayView atStart[] = {
        "ID3",
        "RIFF",
        "RIFX",
        "MThd",
        "OggS",
        "fLaC",
        "FORM",
        ".snd",
        "#!AMR",
        "MAC ",
        "wvpk",
        "FLV",
        ".RMF",
        QByteArrayView("\x1A\x45\xDF\xA3", 4),                 // Matroska, WebM
        QByteArrayView("\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8), // ASF, WMA, WMV
        QByteArrayView("\x00\x00\x01\xBA", 4),
        QByteArrayView("\x00\x00\x01\xB3", 4), // MPEG program/video
    };
    for (QByteArrayView magic : atStart) {
        if (at(0, magic))
            return true;
    }
    for (const char* box : {"ftyp", "moov", "mdat", "wide", "free"}) { // MP4, M4A, QuickTime
        if (at(4, box))
            return true;
    }
    if (head.size() > 188 && head[0] == 0x47 && head[188] == 0x47)
        return true; // MPEG transport stream
    // MPEG audio without a tag: a plausible frame header near the start.
    for (qsizetype i = 0; i + 2 < head.size(); ++i) {
        const auto b0 = uchar(head[i]), b1 = uchar(head[i + 1]), b2 = uchar(head[i + 2]);
        if (b0 != 0xFF || (b1 & 0xE0) != 0xE0)
            continue;
        if ((b1 & 0xF6) == 0xF0)
            return true; // AAC in ADTS frames
        const bool version = ((b1 >> 3) & 3) != 1, layer = ((b1 >> 1) & 3) != 0;
        const bool bitrate = (b2 >> 4) != 0xF && (b2 >> 4) != 0, rate = ((b2 >> 2) & 3) != 3;
        if (version && layer && bitrate && rate)
            return true;
    }
    return false;
}

namespace {

enum class FileState { Missing, Unreadable, NotMedia, Media };

FileState inspectFile(const QByteArray& path)
{
    const ReadableFile file = openForReading(path);
    if (!file.isOpen())
        return file.missing() ? FileState::Missing : FileState::Unreadable;
    int error = 0;
    const QByteArray head = readAtMost(file.fd, 4096, &error);
    if (error != 0)
        return FileState::Unreadable;
    return looksLikeMedia(head) ? FileState::Media : FileState::NotMedia;
}

uint32_t fileError(FileState state)
{
    switch (state) {
    case FileState::Missing:
        return mci::FileNotFound;
    case FileState::Unreadable:
        return mci::CannotLoadDriver;
    case FileState::NotMedia:
        return mci::InvalidFile;
    case FileState::Media:
        break;
    }
    return mci::NoError;
}

struct OpenDevice
{
    MediaDeviceId id;
    QByteArray name;
    bool isAlias;
};

class Interpreter
{
public:
    MediaBackend* backend()
    {
        MediaBackend* current = m_installed ? m_installed : qtMediaBackend();
        if (current != m_devicesOwner) {
            // The backend that held the devices is gone (the application ended); forget them.
            m_devices.clear();
            m_devicesOwner = current;
        }
        return current;
    }

    MediaBackend* install(MediaBackend* backend)
    {
        // Devices of the outgoing backend are closed while it still exists; the Qt backend may
        // already be gone with the application.
        if (m_devicesOwner && (m_devicesOwner == m_installed || m_devicesOwner == qtMediaBackend(false)))
            closeAll(m_devicesOwner);
        MediaBackend* previous = m_installed;
        m_installed = backend;
        m_devices.clear();
        m_devicesOwner = nullptr;
        return previous;
    }

    OpenDevice* find(const QByteArray& name)
    {
        for (OpenDevice& d : m_devices) {
            if (d.name == name)
                return &d;
        }
        for (OpenDevice& d : m_devices) {
            if (d.isAlias && d.name.compare(name, Qt::CaseInsensitive) == 0)
                return &d;
        }
        return nullptr;
    }

    uint32_t run(const QByteArray& command)
    {
        MediaCommand c;
        if (const uint32_t error = parseMediaCommand(command, &c))
            return error;
        MediaBackend* b = backend();
        if (!b)
            return mci::CannotLoadDriver;
        const bool all = keywordIs(c.device, "all");
        switch (c.verb) {
        case MediaCommand::Verb::Open:
            return open(b, c);
        case MediaCommand::Verb::Play:
            return all ? mci::CannotUseAll : play(b, c);
        case MediaCommand::Verb::Stop:
            if (all) {
                for (const OpenDevice& d : m_devices)
                    b->stopDevice(d.id);
                return mci::NoError;
            }
            if (OpenDevice* d = find(c.device)) {
                b->stopDevice(d->id);
                return mci::NoError;
            }
            return mci::InvalidDeviceName;
        case MediaCommand::Verb::Close:
            if (all) {
                closeAll(b);
                return mci::NoError;
            }
            if (OpenDevice* d = find(c.device)) {
                const MediaDeviceId id = d->id;
                m_devices.erase(m_devices.begin() + (d - m_devices.data()));
                b->closeDevice(id);
                return mci::NoError;
            }
            return mci::InvalidDeviceName;
        }
        return mci::UnrecognizedCommand;
    }

    bool wave(const std::optional<QByteArray>& name, uint32_t flags)
    {
        // Playing in the foreground would block the window until the sound ends.
        if (!(flags & SndAsync))
            return false;
        MediaBackend* b = backend();
        if (!b)
            return false;
        if (!name) {
            b->stopWave();
            return true;
        }
        if (inspectFile(*name) != FileState::Media) {
            b->stopWave();
            return false;
        }
        return b->playWave(*name);
    }

    MediaDeviceId idOf(const QByteArray& name)
    {
        backend();
        const OpenDevice* d = find(name);
        return d ? d->id : -1;
    }

private:
    uint32_t open(MediaBackend* b, const MediaCommand& c)
    {
        static const QByteArrayList knownTypes{"mpegvideo", "sequencer", "avivideo", "waveaudio"};
        if (!c.type.isEmpty() && !knownTypes.contains(c.type))
            return mci::InvalidDeviceName;
        const bool isAlias = !c.alias.isEmpty();
        const QByteArray name = isAlias ? c.alias : c.device;
        if (keywordIs(name, "all"))
            return mci::CannotUseAll;
        if (find(name))
            return isAlias ? mci::DuplicateAlias : mci::DeviceOpen;
        return openAs(b, name, isAlias, c.device);
    }

    uint32_t openAs(MediaBackend* b, const QByteArray& name, bool isAlias, const QByteArray& path)
    {
        if (const uint32_t error = fileError(inspectFile(path)))
            return error;
        const MediaDeviceId id = m_nextId++;
        if (const uint32_t error = b->openDevice(id, path))
            return error;
        m_devices.push_back(OpenDevice{id, name, isAlias});
        return mci::NoError;
    }

    uint32_t play(MediaBackend* b, const MediaCommand& c)
    {
        if (OpenDevice* d = find(c.device))
            return b->playDevice(d->id, c.from);
        // A file that is not open yet is opened on the spot and stays open until it is closed.
        struct stat st
        {
        };
        if (::stat(c.device.constData(), &st) != 0 && !c.device.contains('/') && !c.device.contains('.'))
            return mci::InvalidDeviceName;
        if (const uint32_t error = openAs(b, c.device, false, c.device))
            return error;
        const MediaDeviceId id = m_devices.back().id;
        const uint32_t error = b->playDevice(id, c.from);
        if (error) {
            m_devices.pop_back();
            b->closeDevice(id);
        }
        return error;
    }

    void closeAll(MediaBackend* b)
    {
        // Newest first, like a stack of windows.
        while (!m_devices.empty()) {
            const MediaDeviceId id = m_devices.back().id;
            m_devices.pop_back();
            b->closeDevice(id);
        }
    }

    MediaBackend* m_installed = nullptr;
    MediaBackend* m_devicesOwner = nullptr;
    std::vector<OpenDevice> m_devices;
    MediaDeviceId m_nextId = 1;
};

Interpreter& interpreter()
{
    static Interpreter instance;
    return instance;
}

} // namespace

MediaBackend* setMediaBackend(MediaBackend* backend)
{
    return interpreter().install(backend);
}

MediaDeviceId mediaDeviceId(const QByteArray& name)
{
    return interpreter().idOf(name);
}

uint32_t mciSendString(const QByteArray& command)
{
    const uint32_t result = interpreter().run(command);
    if (MediaBackend* b = interpreter().backend())
        b->commandDone("mciSendString", command, result);
    return result;
}

bool mciExecute(const QByteArray& command)
{
    const uint32_t result = interpreter().run(command);
    if (MediaBackend* b = interpreter().backend())
        b->commandDone("mciExecute", command, result);
    if (result != mci::NoError) {
        showMessage(QStringLiteral("Medienbefehl fehlgeschlagen: %1\n%2")
                        .arg(QFile::decodeName(command), mciErrorText(result)),
                    appTitle(), MsgIcon::Critical);
    }
    return result == mci::NoError;
}

bool sndPlaySound(const std::optional<QByteArray>& name, uint32_t flags)
{
    const bool played = interpreter().wave(name, flags);
    if (MediaBackend* b = interpreter().backend())
        b->commandDone("sndPlaySound", (name ? *name : QByteArray("NULL")) + ", " + QByteArray::number(flags),
                       played ? 1 : 0);
    return played;
}

} // namespace fotarik
