-- The catalogue of a corpus of recordings: what `edfinfo --index DB PATH...` and
-- recording.corpus.index(paths, db) write (both run this file, which creates what is missing
-- and changes nothing that exists). One row per file in recordings; the other tables refer to
-- it by recording_id. Times are seconds, except mtime.

CREATE TABLE IF NOT EXISTS recordings (
    id INTEGER PRIMARY KEY,
    path TEXT NOT NULL UNIQUE,      -- absolute (made so without resolving links)
    size INTEGER NOT NULL,          -- bytes
    mtime INTEGER NOT NULL,         -- the file's last change, nanoseconds since 1970-01-01 UTC
    status TEXT NOT NULL,           -- 'conforming', 'repaired-readable' or 'unreadable'
    error TEXT,                     -- why the file could not be checked at all, else NULL
    readable INTEGER NOT NULL,      -- 1 when the tolerant open reads the file, else 0
    filetype TEXT,                  -- 'EDF', 'EDF+', 'BDF' or 'BDF+'; NULL when unreadable
    discontinuous INTEGER,          -- 1 for EDF+D and BDF+D, else 0
    start TEXT,                     -- local start as stored, 'YYYY-MM-DDThh:mm:ss.fffffff';
                                    -- NULL when the header's start date is not a date
    duration REAL,                  -- to the end of the last record, in true time
    record_count INTEGER,
    record_duration REAL,
    signal_count INTEGER,           -- ordinary signals (annotation signals not counted)
    annotation_count INTEGER,
    problem_count INTEGER NOT NULL, -- its rows in problems: everything the check lists
    patient_code TEXT,              -- EDF+/BDF+ subfields; NULL when unknown or plain EDF/BDF
    sex TEXT,                       -- 'M' or 'F'
    birthdate TEXT,                 -- 'YYYY-MM-DD'
    equipment TEXT
);

CREATE TABLE IF NOT EXISTS signals (
    recording_id INTEGER NOT NULL REFERENCES recordings(id),
    idx INTEGER NOT NULL,           -- among the ordinary signals, from 0
    label TEXT NOT NULL,
    unit TEXT NOT NULL,
    rate REAL,                      -- samples per second; NULL when records last 0 s
    samples_per_record INTEGER NOT NULL,
    physical_min REAL NOT NULL,
    physical_max REAL NOT NULL,
    digital_min INTEGER NOT NULL,
    digital_max INTEGER NOT NULL,
    transducer TEXT NOT NULL,
    prefilter TEXT NOT NULL,
    PRIMARY KEY (recording_id, idx)
);

CREATE TABLE IF NOT EXISTS annotations (
    recording_id INTEGER NOT NULL REFERENCES recordings(id),
    onset REAL NOT NULL,            -- from the start of the recording
    duration REAL,                  -- NULL when the annotation has none
    text TEXT NOT NULL
);

-- What the check lists (edf_check_file, recording.Problem): breaks of the format and the note
-- that a file is discontinuous (action 3).
CREATE TABLE IF NOT EXISTS problems (
    recording_id INTEGER NOT NULL REFERENCES recordings(id),
    offset INTEGER NOT NULL,        -- byte offset in the file, -1 for the file as a whole
    signal INTEGER NOT NULL,        -- header signal index (annotation signals counted), or -1
    record INTEGER NOT NULL,        -- data record, or -1
    code INTEGER NOT NULL,          -- the strict open's code for it, 0 when it accepts it
    action INTEGER NOT NULL,        -- 1 repaired, 2 fatal, 3 conforms (discontinuous)
    field TEXT NOT NULL,
    found TEXT NOT NULL,
    message TEXT NOT NULL
);

-- The time axis: runs of records without a gap (a continuous file has one).
CREATE TABLE IF NOT EXISTS segments (
    recording_id INTEGER NOT NULL REFERENCES recordings(id),
    start REAL NOT NULL,            -- from the start of the recording
    first_record INTEGER NOT NULL,
    records INTEGER NOT NULL
);

CREATE INDEX IF NOT EXISTS annotations_of_recording ON annotations(recording_id);
CREATE INDEX IF NOT EXISTS problems_of_recording ON problems(recording_id);
CREATE INDEX IF NOT EXISTS segments_of_recording ON segments(recording_id);
