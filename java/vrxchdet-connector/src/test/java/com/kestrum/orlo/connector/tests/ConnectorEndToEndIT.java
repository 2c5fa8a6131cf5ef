package com.kestrum.orlo.connector.tests;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.util.List;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The connector class over the native library and the local store, as a Java caller uses them. */
@SuppressWarnings("JdkObsolete") // the connector's methods, fixed, take a StringBuffer
class ConnectorEndToEndIT {
    private static final String ENTRY = "[0-9A-F]{32}:[0-9A-F]{1,8}:(NOR|DEL)";
    private static final String END_TEXT = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d0";

    private final Checks checks = new Checks();
    private final VarnexChangeDetectionConnector connector = new VarnexChangeDetectionConnector();
    private SampleStore store;

    @BeforeEach
    void createStore() throws Exception {
        store = SampleStore.create(5);
    }

    @AfterEach
    void verify() {
        checks.verify();
    }

    @Test
    void opensPollsAndCloses() throws Exception {
        connector.initTesra(null, SampleStore.DATABASE, SampleStore.PASSWORD);
        StringBuffer endText = new StringBuffer();
        List<String> all = connector.getModifiedTesra(null, endText);
        checks.equal("every record on the first poll", 5, all.size());
        checks.isTrue("entries have the entry form", all.stream().allMatch(e -> e.matches(ENTRY)));
        checks.isTrue("end text form: " + endText, endText.toString().matches(END_TEXT));

        StringBuffer quietEnd = new StringBuffer("kept|");
        checks.equal("nothing changed", 0, connector.getModifiedTesra(endText.toString(), quietEnd).size());
        checks.isTrue("appended after what it held", quietEnd.toString().matches("kept\\|" + END_TEXT));

        store.admin("delete", SampleStore.DATABASE, "2");
        store.admin("change", SampleStore.DATABASE, "4");
        StringBuffer changedEnd = new StringBuffer();
        List<String> changed = connector.getModifiedTesra(quietEnd.substring(5), changedEnd);
        checks.equal("two changes", 2, changed.size());
        checks.isTrue("deleted first: " + changed, changed.size() == 2 && changed.get(0).endsWith(":2:DEL"));
        checks.isTrue("then changed: " + changed, changed.size() == 2 && changed.get(1).endsWith(":4:NOR"));
        checks.isTrue("same universal id as the first poll",
                      changed.size() == 2 && all.contains(changed.get(1)));

        connector.termTesra();
        connector.termTesra();
        checks.isTrue("a second close is harmless", true);
    }

    @Test
    void wrongPasswordAndMissingKeyFilename() throws Exception {
        checks.throwsException("wrong password",
                               "Native call KeyringSelectUser failed with error: code 274, "
                                   + "'The password does not match the ID file'",
                               () -> connector.initTesra(null, SampleStore.DATABASE, "not it"));
        checks.throwsException("no such database",
                               "Native call QRVDbOpen failed with error: code 292, 'The database file does not exist'",
                               () -> connector.initTesra(null, "absent.tdb", SampleStore.PASSWORD));

        String ini = store.iniContent();
        store.rewriteIni(ini.replaceAll("(?m)^KeyFilename=.*$", ""));
        checks.throwsException("KeyFilename unset",
                               "Could not determine the path to the id file. "
                                   + "Verify the KeyFilename item in the tesra.ini file.",
                               () -> connector.initTesra(null, SampleStore.DATABASE, SampleStore.PASSWORD));
        store.rewriteIni(ini);
    }

    @Test
    void nullArgumentsThrowInsteadOfCrashing() {
        checks.throwsException("null database", null, () -> connector.initTesra(null, null, SampleStore.PASSWORD));
        checks.throwsException("null password", null, () -> connector.initTesra(null, SampleStore.DATABASE, null));
        checks.throwsException("null end text", null, () -> connector.getModifiedTesra(null, null));
    }

    @Test
    void badSinceTextsThrowAndLeaveTheEndTextAlone() throws Exception {
        connector.initTesra(null, SampleStore.DATABASE, SampleStore.PASSWORD);
        for (String since : new String[] {"2024-01-01 00:00:00.-12", "2024-13-01 00:00:00.000", "ab", "日本語テキスト.000"}) {
            StringBuffer endText = new StringBuffer("untouched");
            checks.throwsException("since " + since, null, () -> connector.getModifiedTesra(since, endText));
            checks.equal("end text after " + since, "untouched", endText.toString());
        }
        connector.termTesra();
    }
}
