// The outcomes of the download steps and the one place that words their
// failures for the user. The workers report these texts; the distribution
// check prints the same ones, so the two can never disagree.
#pragma once

enum class Preparation { Ready, ManifestUnreadable, SizeUnknown, FreeSpaceUnknown };

enum class Transfer { Completed, Cancelled, ConnectionFailed, FileFailed, Interrupted };

// The message for a failed outcome; null for Ready, Completed and Cancelled,
// which are not failures.
const wchar_t* failure_text(Preparation outcome);
const wchar_t* failure_text(Transfer outcome);
