// The parts of the results store that are the same for every database: the sample writer,
// run ids and the stored form of times.
#include "ctl/ResultsStore.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

const char* const RESULT_PASS = "PASS";
const char* const RESULT_FAIL = "FAIL";
const char* const RESULT_ERROR = "ERROR";
const char* const RESULT_ABORTED = "ABORTED";

// Long enough a batch that the writer takes it at once rather than at its next turn: 64
// boards make about this many samples in 100 ms.
constexpr size_t SAMPLE_BATCH_ROWS = 16384;
constexpr auto SAMPLE_WRITE_PERIOD = std::chrono::milliseconds(100);

SampleWriter::SampleWriter(ResultsStore* store, std::string runId)
    : store_(store), runId_(std::move(runId)) {
    thread_ = std::thread(&SampleWriter::Loop, this);
}

SampleWriter::~SampleWriter() {
    Finish();
}

void SampleWriter::Push(const ResultsSample& sample) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!failure_.empty()) {
        return;
    }
    pending_.push_back(sample);
    if (pending_.size() == SAMPLE_BATCH_ROWS) {
        wake_.notify_one();
    }
}

// 1 when the batch was stored or has failed for good; 0 when the database was busy and the
// batch waits for the next turn.
int SampleWriter::WriteBatch(std::vector<ResultsSample>* batch) {
    if (batch->empty()) {
        return 1;
    }
    if (store_->AddSamples(runId_, batch->data(), batch->size())) {
        std::lock_guard<std::mutex> hold(lock_);
        stored_ += (long long)batch->size();
        ++batches_;
        batch->clear();
        return 1;
    }
    std::lock_guard<std::mutex> hold(lock_);
    const std::string& why = store_->Why();
    if (why.find("busy") != std::string::npos || why.find("locked") != std::string::npos) {
        return 0;
    }
    failure_ = why;
    pending_.clear();
    batch->clear();
    return 1;
}

void SampleWriter::Loop() {
    std::vector<ResultsSample> batch;
    for (;;) {
        int stopping = 0;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait_for(hold, SAMPLE_WRITE_PERIOD,
                           [this] { return stopping_ || pending_.size() >= SAMPLE_BATCH_ROWS; });
            stopping = stopping_;
            if (batch.empty()) {
                batch.swap(pending_);
            } else {
                // A busy batch is still waiting: the new samples go after it.
                batch.insert(batch.end(), pending_.begin(), pending_.end());
                pending_.clear();
            }
        }
        int written = WriteBatch(&batch);
        if (stopping) {
            // At the end a busy database gets a few more turns, then the samples are given up.
            for (int tries = 0; !written && tries < 20; ++tries) {
                std::this_thread::sleep_for(SAMPLE_WRITE_PERIOD);
                written = WriteBatch(&batch);
            }
            std::lock_guard<std::mutex> hold(lock_);
            if (!written && failure_.empty()) {
                failure_ = "the database stayed busy: " + store_->Why();
            }
            return;
        }
    }
}

int SampleWriter::Finish() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (finished_) {
            return failure_.empty();
        }
        finished_ = 1;
        stopping_ = 1;
    }
    wake_.notify_one();
    thread_.join();
    std::lock_guard<std::mutex> hold(lock_);
    return failure_.empty();
}

long long SampleWriter::Stored() const {
    std::lock_guard<std::mutex> hold(lock_);
    return stored_;
}

long long SampleWriter::Batches() const {
    std::lock_guard<std::mutex> hold(lock_);
    return batches_;
}

std::string SampleWriter::Failure() const {
    std::lock_guard<std::mutex> hold(lock_);
    return failure_;
}

std::unique_ptr<ResultsStore> OpenResultsStore(const char* target, int forWriting, std::string* why,
                                               const ResultsSpool* spool) {
    if (!IsServerTarget(target)) {
        return OpenSqliteResults(target, forWriting, why);
    }
    if (forWriting && spool != nullptr) {
        return OpenSpoolingResults(target, *spool, why);
    }
    int unreachable = 0;
    return OpenPostgresResults(target, forWriting, why, &unreachable);
}

// ---------------------------------------------------------------------------------------
// Run ids and times

std::string NewRunId() {
    unsigned char bytes[16];
    size_t got = 0;
    if (FILE* random = fopen("/dev/urandom", "rb")) {
        got = fread(bytes, 1, sizeof bytes, random);
        fclose(random);
    }
    if (got != sizeof bytes) {
        std::random_device device;
        for (unsigned char& b : bytes) {
            b = (unsigned char)(device() & 0xFF);
        }
    }
    bytes[6] = (unsigned char)((bytes[6] & 0x0F) | 0x40); // version 4: random
    bytes[8] = (unsigned char)((bytes[8] & 0x3F) | 0x80); // the RFC 4122 variant
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(hex[bytes[i] >> 4]);
        text.push_back(hex[bytes[i] & 0x0F]);
    }
    return text;
}

static std::string UtcText(time_t seconds, int milliseconds) {
    tm utc;
    gmtime_r(&seconds, &utc);
    char text[80];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
    return text;
}

std::string UtcNowText() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return UtcText(now.tv_sec, (int)(now.tv_nsec / 1000000));
}

// Reads exactly `digits` digits at *p.
static int ReadDigits(const char** p, int digits, int* out) {
    int value = 0;
    for (int i = 0; i < digits; ++i) {
        if (!isdigit((unsigned char)(*p)[i])) {
            return 0;
        }
        value = value * 10 + ((*p)[i] - '0');
    }
    *p += digits;
    *out = value;
    return 1;
}

static int DaysInMonth(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

int ParseWhen(const char* when, std::string* utcOut) {
    const char* p = when;
    tm local = {};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
    if (!ReadDigits(&p, 4, &year) || *p++ != '-' || !ReadDigits(&p, 2, &month) || *p++ != '-' ||
        !ReadDigits(&p, 2, &day) || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month)) {
        return 0;
    }
    if (*p == 'T' || *p == ' ') {
        ++p;
        if (!ReadDigits(&p, 2, &hour) || *p++ != ':' || !ReadDigits(&p, 2, &minute) || hour > 23 ||
            minute > 59) {
            return 0;
        }
        if (*p == ':') {
            ++p;
            if (!ReadDigits(&p, 2, &second) || second > 59) {
                return 0;
            }
            if (*p == '.' || *p == ',') {
                ++p;
                int scale = 100, digits = 0;
                for (; isdigit((unsigned char)*p); ++p, ++digits) {
                    milliseconds += (*p - '0') * scale;
                    scale /= 10;
                }
                if (digits == 0) {
                    return 0;
                }
            }
        }
    }
    int hasOffset = 0;
    long offsetSeconds = 0;
    if (*p == 'Z') {
        hasOffset = 1;
        ++p;
    } else if (*p == '+' || *p == '-') {
        int sign = *p++ == '-' ? -1 : 1;
        int offsetHours = 0, offsetMinutes = 0;
        if (!ReadDigits(&p, 2, &offsetHours) || offsetHours > 14) {
            return 0;
        }
        if (*p == ':') {
            ++p;
        }
        if (*p != '\0' && (!ReadDigits(&p, 2, &offsetMinutes) || offsetMinutes > 59)) {
            return 0;
        }
        hasOffset = 1;
        offsetSeconds = sign * (offsetHours * 3600L + offsetMinutes * 60L);
    }
    if (*p != '\0') {
        return 0;
    }
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    time_t seconds;
    if (hasOffset) {
        seconds = timegm(&local) - offsetSeconds;
    } else {
        // The local clock decides whether summer time applies.
        local.tm_isdst = -1;
        seconds = mktime(&local);
        if (seconds == (time_t)-1) {
            return 0;
        }
    }
    *utcOut = UtcText(seconds, milliseconds);
    return 1;
}

std::string LocalTimeText(const std::string& utc) {
    tm stored = {};
    int fields = sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &stored.tm_year, &stored.tm_mon,
                        &stored.tm_mday, &stored.tm_hour, &stored.tm_min, &stored.tm_sec);
    if (fields != 6) {
        return utc;
    }
    stored.tm_year -= 1900;
    stored.tm_mon -= 1;
    time_t seconds = timegm(&stored);
    tm local;
    localtime_r(&seconds, &local);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}
