package com.kestrum.orlo.connector.kafka;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;

class ConfigReferenceTest {
    @Test
    void theDocumentsReferenceIsWhatTheConfigDefSays() throws IOException {
        String reference = ConfigReference.markdown();
        for (String key : VrxchdetSourceConfig.CONFIG_DEF.names()) {
            boolean internal = VrxchdetSourceConfig.CONFIG_DEF.configKeys().get(key).internalConfig;
            assertEquals(!internal, reference.contains("| `" + key + "` |"), key);
        }
        assertTrue(reference.contains("| `topic.prefix` | string | (required) |"), reference);

        // The module's folder is the tests' working folder; the document is at the top of the repository.
        Path document = Path.of("").toAbsolutePath().resolve("../../KAFKA-CONNECT.md").normalize();
        String text = Files.readString(document);
        int start = text.indexOf(ConfigReference.START_MARKER);
        int end = text.indexOf(ConfigReference.END_MARKER);
        assertTrue(start >= 0 && end > start, document + " holds the two markers of the reference");
        String section = text.substring(start + ConfigReference.START_MARKER.length(), end).strip() + "\n";
        if (!section.equals(reference)) {
            Path expected = Files.writeString(Path.of("target", "config-reference.md"), reference);
            assertEquals(reference, section, "the reference of " + document + " differs from the ConfigDef's: put "
                + expected.toAbsolutePath() + " between its markers");
        }
    }
}
