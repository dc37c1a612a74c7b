#pragma once
// What the program and its decoder worker say to each other over their socket pair.
//
// A request is one packet holding a WorkerRequest, with two descriptors attached: the
// picture file (opened by the program) and an empty shared-memory file the program made
// for the answer, of `capacity` bytes. The worker answers with packets holding a
// WorkerMessage: at most one "declared" note (the size the file's header claims, which
// decides the CPU allowance) and then one picture or refusal. A picture's pixels lie in
// the shared-memory file, row after row, 32-bit 0xffRRGGBB, and the worker seals the file
// against any further change before it answers.
//
// The worker decodes untrusted files and may be compromised: the program believes no
// field of an answer it has not checked (checkAnswer), and nothing else of it is read.

#include <QSize>
#include <cstddef>
#include <cstdint>

namespace fotarik::imaging::worker {

inline constexpr uint32_t RequestMagic = 0x46445251; // "FDRQ"
inline constexpr uint32_t AnswerMagic = 0x4644414e;  // "FDAN"
inline constexpr uint32_t ProtocolVersion = 2;

struct WorkerRequest
{
    uint32_t magic = RequestMagic;
    uint32_t version = ProtocolVersion;
    uint64_t id = 0;
    int32_t boxWidth = 0;
    int32_t boxHeight = 0;
    int32_t width = -1;
    int32_t height = -1;
    uint32_t backColour = 0;
    uint32_t reserved = 0;
    double devicePixelRatio = 1.0;
    uint64_t capacity = 0; // bytes of the shared-memory file
    // The worker's address space as the program sees it now (0 when unknown): the worker's
    // filter lets it open no file to look itself.
    uint64_t addressSpace = 0;
};

enum class MessageKind : uint32_t { Declared = 1, Picture = 2, Refused = 3 };

// FreshWorker: the file needs what this worker's filter no longer allows (a metafile's
// fonts after other pictures); a fresh worker can decode it. The worker retires with it.
enum class RefusalReason : uint32_t { CannotDecode = 1, BadRequest = 2, NoRoom = 3, FreshWorker = 4 };

struct WorkerMessage
{
    uint32_t magic = AnswerMagic;
    MessageKind kind = MessageKind::Refused;
    uint64_t id = 0;
    int32_t declaredWidth = 0; // Declared
    int32_t declaredHeight = 0;
    int32_t pixelWidth = 0; // Picture: the pixels in the shared-memory file
    int32_t pixelHeight = 0;
    int32_t logicalWidth = 0; // Picture: the fitted size in logical pixels
    int32_t logicalHeight = 0;
    uint32_t bytesPerLine = 0;
    RefusalReason reason = RefusalReason::CannotDecode; // Refused
    uint32_t retiring = 0;                              // the worker ends after this answer
    uint32_t reserved = 0;
};

// The largest picture (in device pixels) an answer to request may hold, and the bytes of
// shared memory the program makes for it.
QSize answerPixelLimit(const WorkerRequest& request);
uint64_t answerCapacity(const WorkerRequest& request);

// What the program makes of one packet from the worker.
struct CheckedMessage
{
    enum class Verdict { Declared, Picture, Refused, Invalid } verdict = Verdict::Invalid;
    QSize declared; // Declared: the declared size (never negative)
    QSize pixels;   // Picture
    QSize logical;  // Picture
    int bytesPerLine = 0;
    bool retiring = false;
    bool freshWorker = false; // Refused: a fresh worker may decode it
};

// Checks a packet of length bytes against the request it answers. memorySize and seals are
// what the program itself reads of the shared-memory file (fstat, F_GET_SEALS) after a
// picture answer; they are only looked at for one. Anything inconsistent is Invalid.
CheckedMessage checkAnswer(const void* packet, size_t length, const WorkerRequest& request,
                           int64_t memorySize, int seals);

// The seals a picture's shared-memory file must carry.
int requiredSeals();

} // namespace fotarik::imaging::worker
