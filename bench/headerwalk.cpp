// The least a walk of a panic dump's record headers needs: one pread per
// header, no stdio, no checks. Listing is measured against this yardstick.
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

static uint32_t be32(const unsigned char *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: headerwalk DUMP\n");
        return 2;
    }
    int fd = open(argv[1], O_RDONLY);
    unsigned char meta[64];
    if (fd < 0 || pread(fd, meta, sizeof meta, 0) != sizeof meta)
        return 1;
    const off_t hsz = meta[60] << 8 | meta[61];
    off_t at = be32(meta + 36);
    long records = 0;
    bool inSection = false;
    for (unsigned char h[16]; pread(fd, h, sizeof h, at) == sizeof h; ++records) {
        uint32_t bsz = be32(h + 8);
        at += hsz + bsz;
        if (!inSection) {
            if (bsz == 0)
                break; // end of dump
            inSection = true;
        } else if (bsz == 0) {
            inSection = false;
        }
    }
    printf("%ld records\n", records + 1);
    return 0;
}
