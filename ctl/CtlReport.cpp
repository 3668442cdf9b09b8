#include "ctl/CtlReport.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

// Figures rounded to what the measurement carries (0.1 ms, 0.0001 %FS): perUnit is 10 or
// 10000. Dividing after rounding gives the double nearest the decimal, which prints short.
static Json Rounded(double value, double perUnit) {
    if (!std::isfinite(value)) {
        return nullptr;
    }
    return std::round(value * perUnit) / perUnit;
}

const char* OutcomeName(TestOutcome outcome) {
    switch (outcome) {
    case OUTCOME_PASS:
        return "PASS";
    case OUTCOME_FAIL:
        return "FAIL";
    case OUTCOME_ABORTED:
        return "ABORTED";
    default:
        return "ERROR";
    }
}

TestOutcome WorstOutcome(TestOutcome a, TestOutcome b) {
    static const int rank[] = {0, 1, 2, 3}; // PASS, FAIL, ERROR, ABORTED
    return rank[a] >= rank[b] ? a : b;
}

void TraceStart(FlowTrace* trace, double plannedSeconds) {
    trace->BucketSeconds = plannedSeconds > 0.0 ? plannedSeconds / 2000.0 : 0.001;
    trace->LastBucket = -1;
    trace->BucketFirst = 0;
    trace->Time.clear();
    trace->Flow.clear();
}

void TraceAdd(FlowTrace* trace, double time, float flow) {
    long long bucket = (long long)std::floor((time > 0.0 ? time : 0.0) / trace->BucketSeconds);
    size_t size = trace->Time.size();
    if (bucket != trace->LastBucket || size - trace->BucketFirst < 2) {
        if (bucket != trace->LastBucket) {
            trace->LastBucket = bucket;
            trace->BucketFirst = size;
        }
        trace->Time.push_back(time);
        trace->Flow.push_back(flow);
        return;
    }
    // Three candidates, the bucket's two and the new one: the lowest and the highest stay.
    const size_t a = trace->BucketFirst, b = a + 1;
    double times[3] = {trace->Time[a], trace->Time[b], time};
    float flows[3] = {trace->Flow[a], trace->Flow[b], flow};
    int low = 0, high = 0;
    for (int k = 1; k < 3; ++k) {
        low = flows[k] < flows[low] ? k : low;
        high = flows[k] > flows[high] ? k : high;
    }
    if (low == high) {
        high = low == 2 ? 1 : 2;
    }
    int first = std::min(low, high), second = std::max(low, high);
    trace->Time[a] = times[first];
    trace->Flow[a] = flows[first];
    trace->Time[b] = times[second];
    trace->Flow[b] = flows[second];
}

std::string CleanUtf8(const char* text) {
    std::string out;
    const unsigned char* p = (const unsigned char*)text;
    while (*p != '\0') {
        unsigned char c = *p;
        int length = c < 0x80           ? 1
                     : (c >> 5) == 0x6  ? 2
                     : (c >> 4) == 0xE  ? 3
                     : (c >> 3) == 0x1E ? 4
                                        : 0;
        unsigned long code = length == 1   ? c
                             : length == 2 ? (c & 0x1F)
                             : length == 3 ? (c & 0x0F)
                                           : (c & 0x07);
        int valid = length > 0;
        for (int k = 1; valid && k < length; ++k) {
            valid = (p[k] & 0xC0) == 0x80;
            code = code << 6 | (p[k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
        static const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= smallest[length] && code <= 0x10FFFF &&
                !(code >= 0xD800 && code <= 0xDFFF);
        if (!valid) {
            out += "\xEF\xBF\xBD";
            ++p;
            continue;
        }
        if (length == 1) {
            out += c < 0x20 || c == 0x7F ? ' ' : (char)c;
        } else {
            out.append((const char*)p, (size_t)length);
        }
        p += length;
    }
    return out;
}

std::string XmlEscaped(const char* text) {
    std::string out;
    for (char c : CleanUtf8(text)) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string CsvField(const char* text) {
    std::string clean = CleanUtf8(text);
    if (clean.find_first_of(",\"") == std::string::npos) {
        return clean;
    }
    std::string out = "\"";
    for (char c : clean) {
        out += c == '"' ? "\"\"" : std::string(1, c);
    }
    return out + "\"";
}

std::string StepReportJson(const StepReport& report) {
    Json board = {
        {"port", report.Port},         {"kind", report.Board.IsController ? "controller" : "meter"},
        {"name", report.Board.Name},   {"gas", report.Board.GasSymbol},
        {"units", report.Board.Units}, {"full_scale", Rounded(report.Board.FullScale, 1e4)},
    };
    Json steps = Json::array();
    for (const StepRecord& step : report.Steps) {
        steps.push_back({
            {"from", Rounded(step.From, 1e4)},
            {"to", Rounded(step.To, 1e4)},
            {"settle_ms", Rounded(step.Metrics.SettleMs, 10.0)},
            {"rise_ms", Rounded(step.Metrics.RiseMs, 10.0)},
            {"overshoot_pct", Rounded(step.Metrics.OvershootPct, 1e4)},
            {"mean_error_pct", Rounded(step.Metrics.MeanErrorPct, 1e4)},
            {"noise_pct", Rounded(step.Metrics.NoisePct, 1e4)},
            {"pass", step.Pass != 0},
        });
    }
    Json all = {{"version", TORVAN_VERSION},
                {"board", board},
                {"steps", steps},
                {"outcome", OutcomeName(report.Outcome)},
                {"pass", report.Outcome == OUTCOME_PASS}};
    if (!report.Reason.empty()) {
        all["reason"] = CleanUtf8(report.Reason.c_str());
    }
    // Board texts are not promised to be UTF-8: a stray byte is replaced, never fatal.
    return all.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// One right-aligned column: the figure, or "-" when it does not exist.
// A board without a name (S54 empty) is called what it is.
static const char* BoardLabel(const BoardInfo& board) {
    return board.Name[0] != '\0' ? board.Name : "unnamed controller";
}

static void PrintCell(FILE* out, int width, int decimals, double value) {
    if (std::isfinite(value)) {
        fprintf(out, " %*.*f", width, decimals, value);
    } else {
        fprintf(out, " %*s", width, "-");
    }
}

void PrintStepTable(FILE* out, const StepReport& report) {
    fprintf(out, "board: %s (%s %.4f %s) on %s, band +/-%.4f %%FS\n", BoardLabel(report.Board),
            report.Board.GasSymbol, report.Board.FullScale, report.Board.Units, report.Port,
            report.Band);
    fprintf(out, "step  from %%FS    to %%FS  settle ms   rise ms  overshoot  mean error"
                 "     noise  result\n");
    int failed = 0;
    for (size_t i = 0; i < report.Steps.size(); ++i) {
        const StepRecord& step = report.Steps[i];
        fprintf(out, "%4zu", i + 1);
        PrintCell(out, 9, 3, step.From);
        PrintCell(out, 9, 3, step.To);
        PrintCell(out, 10, 1, step.Metrics.SettleMs);
        PrintCell(out, 9, 1, step.Metrics.RiseMs);
        PrintCell(out, 10, 4, step.Metrics.OvershootPct);
        PrintCell(out, 11, 4, step.Metrics.MeanErrorPct);
        PrintCell(out, 9, 4, step.Metrics.NoisePct);
        fprintf(out, "  %s\n", step.Pass ? "pass" : "FAIL");
        failed += step.Pass ? 0 : 1;
    }
    if (report.Pass) {
        fprintf(out, "PASS: %zu steps within every limit given\n", report.Steps.size());
    } else {
        fprintf(out, "FAIL: %d of %zu steps outside a limit\n", failed, report.Steps.size());
    }
}

// ---------------------------------------------------------------------------------------
// The plot

constexpr double SVG_WIDTH = 1000.0, SVG_HEIGHT = 560.0;
constexpr double PLOT_LEFT = 80.0, PLOT_RIGHT = 970.0, PLOT_TOP = 60.0, PLOT_BOTTOM = 490.0;

struct Axes {
    double T0, T1, Y0, Y1;
    double TStep, YStep; // between ticks
    double X(double t) const { return PLOT_LEFT + (t - T0) / (T1 - T0) * (PLOT_RIGHT - PLOT_LEFT); }
    double Y(double v) const {
        return PLOT_BOTTOM - (v - Y0) / (Y1 - Y0) * (PLOT_BOTTOM - PLOT_TOP);
    }
};

// 1, 2 or 5 times a power of ten, near range / wanted.
static double NiceStep(double range, int wanted) {
    double raw = range / wanted;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    double fraction = raw / power;
    return (fraction < 1.5 ? 1.0 : fraction < 3.5 ? 2.0 : fraction < 7.5 ? 5.0 : 10.0) * power;
}

static Axes ChooseAxes(const StepReport& report) {
    Axes axes = {0.0, 1.0, 0.0, 1.0, 0.1, 1.0};
    double low = INFINITY, high = -INFINITY;
    for (float flow : report.Trace.Flow) {
        low = std::min(low, (double)flow);
        high = std::max(high, (double)flow);
    }
    for (const StepRecord& step : report.Steps) {
        low = std::min({low, step.From - report.Band, step.To - report.Band});
        high = std::max({high, step.From + report.Band, step.To + report.Band});
        axes.T1 = std::max(axes.T1, step.EndSeconds);
    }
    if (!std::isfinite(low) || !std::isfinite(high)) {
        low = 0.0;
        high = 100.0;
    }
    double margin = std::max((high - low) * 0.05, 0.5);
    axes.YStep = NiceStep(high - low + 2.0 * margin, 8);
    axes.Y0 = std::floor((low - margin) / axes.YStep) * axes.YStep;
    axes.Y1 = std::ceil((high + margin) / axes.YStep) * axes.YStep;
    axes.TStep = NiceStep(axes.T1 - axes.T0, 10);
    return axes;
}

static void WriteGridAndAxes(FILE* out, const Axes& axes) {
    const double tStep = axes.TStep, yStep = axes.YStep;
    fprintf(out, "<g stroke=\"#dddddd\" stroke-width=\"1\">\n");
    for (double t = axes.T0; t <= axes.T1 + tStep * 1e-6; t += tStep) {
        fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", axes.X(t),
                PLOT_TOP, axes.X(t), PLOT_BOTTOM);
    }
    for (double v = axes.Y0; v <= axes.Y1 + yStep * 1e-6; v += yStep) {
        fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", PLOT_LEFT,
                axes.Y(v), PLOT_RIGHT, axes.Y(v));
    }
    fprintf(out, "</g>\n<g font-size=\"12\" fill=\"#333333\">\n");
    int tDecimals = tStep < 0.1 ? 2 : tStep < 1.0 ? 1 : 0;
    for (double t = axes.T0; t <= axes.T1 + tStep * 1e-6; t += tStep) {
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%.*f</text>\n", axes.X(t),
                PLOT_BOTTOM + 18.0, tDecimals, t);
    }
    int yDecimals = yStep < 0.1 ? 2 : yStep < 1.0 ? 1 : 0;
    for (double v = axes.Y0; v <= axes.Y1 + yStep * 1e-6; v += yStep) {
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>\n",
                PLOT_LEFT - 8.0, axes.Y(v) + 4.0, yDecimals, std::fabs(v) < yStep * 1e-6 ? 0.0 : v);
    }
    fprintf(out, "</g>\n");
    fprintf(out,
            "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
            "stroke=\"#333333\"/>\n",
            PLOT_LEFT, PLOT_TOP, PLOT_RIGHT - PLOT_LEFT, PLOT_BOTTOM - PLOT_TOP);
    fprintf(out,
            "<text x=\"%.1f\" y=\"%.1f\" font-size=\"14\" text-anchor=\"middle\">time (s)"
            "</text>\n",
            (PLOT_LEFT + PLOT_RIGHT) / 2.0, PLOT_BOTTOM + 42.0);
    fprintf(out,
            "<text x=\"20\" y=\"%.1f\" font-size=\"14\" text-anchor=\"middle\" "
            "transform=\"rotate(-90 20 %.1f)\">flow and set point (%%FS)</text>\n",
            (PLOT_TOP + PLOT_BOTTOM) / 2.0, (PLOT_TOP + PLOT_BOTTOM) / 2.0);
}

static void WriteBands(FILE* out, const StepReport& report, const Axes& axes) {
    fprintf(out, "<g id=\"band\" fill=\"#2ca02c\" fill-opacity=\"0.18\">\n");
    for (const StepRecord& step : report.Steps) {
        double top = axes.Y(step.To + report.Band), bottom = axes.Y(step.To - report.Band);
        fprintf(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n",
                axes.X(step.SendSeconds), top, axes.X(step.EndSeconds) - axes.X(step.SendSeconds),
                std::max(bottom - top, 1.0));
    }
    fprintf(out, "</g>\n");
}

// A trace of thousands of samples is drawn through the lowest and highest sample of each
// pixel column, so a long test keeps its noise band without megabytes of points.
static void WriteFlowTrace(FILE* out, const StepReport& report, const Axes& axes) {
    fprintf(out, "<polyline id=\"flow\" fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"1.2\" "
                 "points=\"");
    const FlowTrace& trace = report.Trace;
    const size_t count = trace.Flow.size();
    const bool thin = count > (size_t)(2.0 * (PLOT_RIGHT - PLOT_LEFT));
    size_t i = 0;
    while (i < count) {
        if (!thin) {
            fprintf(out, "%.1f,%.1f ", axes.X(trace.Time[i]), axes.Y(trace.Flow[i]));
            ++i;
            continue;
        }
        long column = std::lround(axes.X(trace.Time[i]));
        size_t low = i, high = i;
        for (; i < count && std::lround(axes.X(trace.Time[i])) == column; ++i) {
            low = trace.Flow[i] < trace.Flow[low] ? i : low;
            high = trace.Flow[i] > trace.Flow[high] ? i : high;
        }
        size_t first = std::min(low, high), second = std::max(low, high);
        fprintf(out, "%.1f,%.1f ", axes.X(trace.Time[first]), axes.Y(trace.Flow[first]));
        fprintf(out, "%.1f,%.1f ", axes.X(trace.Time[second]), axes.Y(trace.Flow[second]));
    }
    fprintf(out, "\"/>\n");
}

static void WriteSetPointTrace(FILE* out, const StepReport& report, const Axes& axes) {
    fprintf(out, "<polyline id=\"set-point\" fill=\"none\" stroke=\"#d62728\" "
                 "stroke-width=\"1.5\" stroke-dasharray=\"6 3\" points=\"");
    if (!report.Steps.empty()) {
        fprintf(out, "%.1f,%.1f ", axes.X(axes.T0), axes.Y(report.Steps[0].From));
    }
    for (const StepRecord& step : report.Steps) {
        fprintf(out, "%.1f,%.1f ", axes.X(step.SendSeconds), axes.Y(step.From));
        fprintf(out, "%.1f,%.1f ", axes.X(step.SendSeconds), axes.Y(step.To));
        fprintf(out, "%.1f,%.1f ", axes.X(step.EndSeconds), axes.Y(step.To));
    }
    fprintf(out, "\"/>\n");
}

static void WriteSettleMarks(FILE* out, const StepReport& report, const Axes& axes) {
    fprintf(out, "<g id=\"settle\" font-size=\"12\">\n");
    for (const StepRecord& step : report.Steps) {
        if (std::isnan(step.Metrics.SettleMs)) {
            fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" fill=\"#9467bd\">no settle</text>\n",
                    axes.X(step.SendSeconds) + 4.0, PLOT_TOP + 16.0);
            continue;
        }
        double x = axes.X(step.SendSeconds + step.Metrics.SettleMs / 1000.0);
        fprintf(out,
                "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#9467bd\" "
                "stroke-width=\"1.2\" stroke-dasharray=\"3 3\"/>\n",
                x, PLOT_TOP, x, PLOT_BOTTOM);
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" fill=\"#9467bd\">%.2f s</text>\n", x + 4.0,
                PLOT_TOP + 16.0, step.Metrics.SettleMs / 1000.0);
    }
    fprintf(out, "</g>\n");
}

static void WriteLegend(FILE* out, const StepReport& report) {
    char band[64];
    snprintf(band, sizeof band, "band \xC2\xB1%.3g %%FS", report.Band);
    const struct {
        const char* Text;
        const char* Shape;
    } items[] = {
        {"flow", "stroke=\"#1f77b4\" stroke-width=\"2\""},
        {"set point", "stroke=\"#d62728\" stroke-width=\"2\" stroke-dasharray=\"6 3\""},
        {band, "stroke=\"#2ca02c\" stroke-opacity=\"0.4\" stroke-width=\"8\""},
        {"settled (time after the step)", "stroke=\"#9467bd\" stroke-width=\"2\" "
                                          "stroke-dasharray=\"3 3\""},
    };
    double x = PLOT_LEFT;
    fprintf(out, "<g font-size=\"12\">\n");
    for (const auto& item : items) {
        fprintf(out, "<line x1=\"%.1f\" y1=\"42\" x2=\"%.1f\" y2=\"42\" %s/>\n", x, x + 24.0,
                item.Shape);
        fprintf(out, "<text x=\"%.1f\" y=\"46\">%s</text>\n", x + 30.0, item.Text);
        x += 60.0 + 7.0 * (double)strlen(item.Text);
    }
    fprintf(out, "</g>\n");
}

int WriteStepSvg(FILE* out, const StepReport& report) {
    Axes axes = ChooseAxes(report);
    fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    fprintf(out,
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
            "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\">\n",
            SVG_WIDTH, SVG_HEIGHT, SVG_WIDTH, SVG_HEIGHT);
    fprintf(out, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    fprintf(out,
            "<text x=\"%.1f\" y=\"24\" font-size=\"16\">Step test: %s, %s %.4g %s, on %s: "
            "%s</text>\n",
            PLOT_LEFT, XmlEscaped(BoardLabel(report.Board)).c_str(),
            XmlEscaped(report.Board.GasSymbol).c_str(), report.Board.FullScale,
            XmlEscaped(report.Board.Units).c_str(), XmlEscaped(report.Port).c_str(),
            OutcomeName(report.Outcome));
    WriteLegend(out, report);
    WriteGridAndAxes(out, axes);
    WriteBands(out, report, axes);
    WriteSetPointTrace(out, report, axes);
    WriteFlowTrace(out, report, axes);
    WriteSettleMarks(out, report, axes);
    fprintf(out, "</svg>\n");
    return ferror(out) == 0;
}
