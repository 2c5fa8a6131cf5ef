// The change entry of any match, byte for byte as snprintf writes it.
#include "changes/change_entry.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input = {data, size};
    // Exactly sized: the match is not read past its 56 bytes, the entry not written past its 46.
    ChangeMatch *match = (ChangeMatch *)malloc(sizeof(ChangeMatch));
    input.take(match, sizeof *match);
    char *entry = (char *)malloc(CHANGE_ENTRY_SIZE);

    size_t length = formatChangeEntry(match, entry);

    char universalId[33];
    snprintf(universalId, sizeof universalId, "%08X%08X%08X%08X", match->universalFirst.word[1],
             match->universalFirst.word[0], match->universalSecond.word[1], match->universalSecond.word[0]);
    char reference[64];
    int referenceLength = snprintf(reference, sizeof reference, "%s:%X:%s", universalId, match->recordId,
                                   (match->matchFlags & CHANGE_MATCH_PRESENT) ? "NOR" : "DEL");
    FUZZ_CHECK(length == (size_t)referenceLength);
    FUZZ_CHECK(memcmp(entry, reference, length + 1) == 0);

    free(entry);
    free(match);
    return 0;
}
