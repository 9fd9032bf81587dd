/*
 * orvo_alg_raw IN OUT: runs a file of raw signed 16-bit mono samples at
 * 32 kHz (native byte order) through one orvo_alg instance and writes the
 * output in the same format. A final partial block is completed with zeros.
 * Built on every platform, so that the output of two builds of the library
 * can be compared sample for sample.
 *
 * Exit status: 0 on success, 1 when a file cannot be read or written, 2 for
 * wrong usage.
 */
#include <stdio.h>
#include <string.h>

#include "orvo_alg.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: orvo_alg_raw IN OUT\n");
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (!in) {
        fprintf(stderr, "orvo_alg_raw: cannot open %s\n", argv[1]);
        return 1;
    }
    FILE* out = fopen(argv[2], "wb");
    if (!out) {
        fprintf(stderr, "orvo_alg_raw: cannot create %s\n", argv[2]);
        fclose(in);
        return 1;
    }
    void* h = ns_alg_init();
    if (!h) {
        fprintf(stderr, "orvo_alg_raw: ns_alg_init failed\n");
        fclose(in);
        fclose(out);
        return 1;
    }
    int16_t block[NS_ALG_BLOCK_SAMPLES];
    int status = 0;
    size_t got;
    while ((got = fread(block, sizeof block[0], NS_ALG_BLOCK_SAMPLES, in)) > 0) {
        memset(block + got, 0, (NS_ALG_BLOCK_SAMPLES - got) * sizeof block[0]);
        ns_alg_process(h, block, block);
        if (fwrite(block, sizeof block[0], NS_ALG_BLOCK_SAMPLES, out) != NS_ALG_BLOCK_SAMPLES) {
            fprintf(stderr, "orvo_alg_raw: cannot write %s\n", argv[2]);
            status = 1;
            break;
        }
    }
    if (ferror(in)) {
        fprintf(stderr, "orvo_alg_raw: cannot read %s\n", argv[1]);
        status = 1;
    }
    ns_alg_destroy(h);
    fclose(in);
    if (fclose(out) != 0 && status == 0) {
        fprintf(stderr, "orvo_alg_raw: cannot write %s\n", argv[2]);
        status = 1;
    }
    return status;
}
