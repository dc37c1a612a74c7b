#pragma once
// Mounted volumes that hold user files: what stands in for drive letters.

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

#include "budgets.h"

namespace fotarik {

struct Volume
{
    QByteArray mountPoint; // the volume's "Drive" text
    QString label;         // volume label, may be empty
};

// The mounted volumes without pseudo file systems, sorted by mount point: from the
// kernel's mount table, without waiting on any of them (one that does not answer within
// budget::VolumeScan is listed all the same).
std::vector<Volume> userVolumes();

// Whether the volume at mountPoint can be opened, sized and listed, asked on a thread of
// its own: false when it fails or has not answered within wait.
bool volumeReady(const QByteArray& mountPoint, budget::Duration wait = budget::VolumeAnswer);

// The answer to a question asked on another thread: None when it did not come in time.
enum class Answer { None, Yes, No };

// Runs each question on a thread of its own and waits for all answers, at most `wait`.
// A question that has not answered by then is given up: its thread is left to finish, or
// to stay blocked in the kernel, holding nothing but what the question itself holds.
std::vector<Answer> askAll(std::vector<std::function<bool()>> questions, budget::Duration wait);

// The volume with the longest mount point that prefixes path; -1 when none does.
int volumeIndexOf(const std::vector<Volume>& volumes, const QByteArray& path);

} // namespace fotarik
