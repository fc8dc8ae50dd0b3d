// Expands one polynomial with GiNaC, measured the way bench/worker.py measures the Python systems.
//
//     ginac_driver REPEATS LEAST MOST VARIABLE... < expression
//
// The expression arrives as text (built by bench/run.py from the shared workload table) and is
// parsed before timing starts.  Prints one JSON line: the seconds of every timed run, the memory added
// at peak (KiB) and the terms as [exponents..., coefficient] rows in the variables' order.

#include <ginac/ginac.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using GiNaC::ex;

long status_kib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    throw std::runtime_error("no " + field + " in /proc/self/status");
}

// Restarts the kernel's peak-RSS counter (VmHWM) and returns the resident size it starts from.
long reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return status_kib("VmRSS");
}

double cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The duration of one expansion is the smaller of the wall-clock and the process-CPU times: the
// CPU clock leaves out the waits for a core on a busy shared machine, the wall clock is the finer
// one for runs of microseconds.
double timed(const ex& input, ex& result) {
    const double cpu = cpu_seconds(), wall = wall_seconds();
    result = input.expand();
    const double wall_spent = wall_seconds() - wall, cpu_spent = cpu_seconds() - cpu;
    return std::min(wall_spent, cpu_spent);
}

// One warm-up run, then timed runs: at least `repeats` and `least` seconds of them, at most `most`
// seconds.  GiNaC marks only results as expanded, never the input, so every run does the whole work.
std::vector<double> timed_runs(const ex& input, ex& result, int repeats, double least, double most) {
    result = input.expand();
    std::vector<double> times;
    double spent = 0;
    while ((static_cast<int>(times.size()) < repeats || spent < least) && spent < most) {
        result = 0;  // the previous result is freed outside the timed region
        times.push_back(timed(input, result));
        spent += times.back();
    }
    return times;
}

std::string terms_json(const ex& polynomial, const std::vector<ex>& variables) {
    GiNaC::lst at_one;
    for (const ex& v : variables) at_one.append(v == 1);
    const std::vector<ex> terms = GiNaC::is_a<GiNaC::add>(polynomial)
        ? std::vector<ex>(polynomial.begin(), polynomial.end())
        : std::vector<ex>{polynomial};
    std::ostringstream out;
    const char* separator = "";
    for (const ex& term : terms) {
        out << separator << "[";
        for (const ex& v : variables) out << term.degree(v) << ",";
        out << term.subs(at_one) << "]";
        separator = ",";
    }
    return "[" + out.str() + "]";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: ginac_driver REPEATS LEAST MOST VARIABLE... < expression\n";
        return 2;
    }
    const int repeats = std::atoi(argv[1]);
    const double least = std::atof(argv[2]);
    const double most = std::atof(argv[3]);
    const std::string text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};

    GiNaC::parser reader;
    const ex input = reader(text);
    std::vector<ex> variables;
    for (int i = 4; i < argc; ++i) variables.push_back(reader.get_syms().at(argv[i]));

    const long start_kib = reset_peak();
    ex result;
    const std::vector<double> times = timed_runs(input, result, repeats, least, most);
    const long peak_kib = status_kib("VmHWM") - start_kib;

    std::cout.precision(17);
    std::cout << "{\"times\": [";
    for (std::size_t i = 0; i < times.size(); ++i) std::cout << (i ? ", " : "") << times[i];
    std::cout << "], \"peak_kib\": " << peak_kib << ", \"terms\": " << terms_json(result, variables) << "}\n";
}
