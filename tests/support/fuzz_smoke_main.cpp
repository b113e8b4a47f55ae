// Runs a fuzz target's body once over every file in the directories or files given, for
// builds without libFuzzer. Fails when a directory cannot be read or holds no input.

#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool run_file(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        perror(path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char** argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            perror(argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (!run_file(argv[i]))
                return 1;
            inputs++;
            continue;
        }
        DIR* dir = opendir(argv[i]);
        if (dir == nullptr) {
            perror(argv[i]);
            return 1;
        }
        while (struct dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            if (!run_file(std::string(argv[i]) + "/" + e->d_name)) {
                closedir(dir);
                return 1;
            }
            inputs++;
        }
        closedir(dir);
    }
    printf("%d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
