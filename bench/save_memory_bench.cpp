// Peak memory of `tarvik --grab` on the largest frames, per pixel-format
// family and file type: the peak resident size of each run (its own
// process), less that of the same run on an 8 x 8 frame (the program and
// its libraries), against the bound frame + display image + 2 x picture,
// where the picture is the 16-bit one of a deep frame, else the display
// image itself.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Case {
    const char* format;
    int bytesPerPixel;   // in the frame
    int pictureBytes;    // per pixel of the 16-bit picture; 0: the display image is the picture
    const char* file;
};

// Peak resident size in MB of one run, or -1.
double PeakMb(const Case& c, int side)
{
    const std::string sim = "width=" + std::to_string(side) + ",height=" + std::to_string(side) +
                            ",formats=" + c.format;
    const std::string path = std::string("/tmp/tarvik-memory-bench.") + c.file;
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("TARVIK_SIM", sim.c_str(), 1);
        unsetenv("TARVIK_CAMERAS");
        execl(TARVIK_EXE, "tarvik", "--grab", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    std::remove(path.c_str());
    return double(usage.ru_maxrss) / 1024.0 * 1.048576;
}

}  // namespace

int main()
{
    const Case cases[] = {
        {"BayerRG16", 2, 8, "tiff"}, {"BayerRG16", 2, 8, "png"}, {"Mono16", 2, 2, "tiff"},
        {"Mono16", 2, 2, "png"},     {"BGR8Packed", 3, 0, "tiff"}, {"BGR8Packed", 3, 0, "png"},
        {"BayerRG8", 1, 0, "jpg"},
    };
    // 9000 x 9000, and the largest square whose display image stays within its 256 MiB limit.
    for (const int side : {9000, 9456}) {
        const double pixels = double(side) * side / 1e6;
        std::printf("%d x %d (%.1f MP), MB\n", side, side, pixels);
        std::printf("  %-10s %-5s %6s %6s %6s %7s %7s %6s %6s\n", "format", "file", "peak", "base",
                    "frame", "display", "picture", "bound", "ratio");
        for (const Case& c : cases) {
            const double frame = pixels * c.bytesPerPixel, display = pixels * 3,
                         picture = c.pictureBytes ? pixels * c.pictureBytes : display;
            const double bound = frame + display + 2 * picture;
            const double peak = PeakMb(c, side), base = PeakMb(c, 8);
            std::printf("  %-10s %-5s %6.0f %6.0f %6.0f %7.0f %7.0f %6.0f %6.2f\n", c.format, c.file, peak,
                        base, frame, display, picture, bound, (peak - base) / bound);
        }
    }
    std::printf("ratio = (peak - base) / (frame + display image + 2 x picture); target <= 1.0\n");
    return 0;
}
