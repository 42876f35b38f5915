// Internal to the library and its tests: the moments of an in-place de-identification at
// which a test may stop the process, to show that an interruption leaves a whole header.
#pragma once

enum class edf_anonymize_stage {
    checked,      // the file is checked and found not open; nothing written yet
    before_write, // the file is open for writing; the header write comes next
};

// Called at each stage when set; null (the default) in normal use. Process-wide: set it only
// while no other thread is inside the library (the tests set it in a child process).
extern void (*edf_anonymize_stage_hook)(edf_anonymize_stage stage);
