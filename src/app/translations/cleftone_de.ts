<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de" sourcelanguage="en">
<context>
    <name>CleftoneAppDelegate</name>
    <message>
        <source>Failed To Strip %1 of %2 Files.</source>
        <extracomment>Run summary, shown when some files could not be stripped. %1 is the number of files that failed, %2 the number of files in the run.</extracomment>
        <translation>Bei %1 von %2 Dateien konnten die Metadaten nicht entfernt werden.</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Show Report</source>
        <translation>Bericht anzeigen</translation>
    </message>
    <message>
        <source>Stripped 1 file, %1 of metadata removed.</source>
        <extracomment>Status line after a run. %1 is a size, such as &quot;3.4 MB&quot;.</extracomment>
        <translation>%1 Metadaten aus 1 Datei entfernt.</translation>
    </message>
    <message>
        <source>Stripped %1 files, %2 of metadata removed.</source>
        <extracomment>Status line after a run. %1 is the number of files, %2 a size, such as &quot;3.4 MB&quot;.</extracomment>
        <translation>%2 Metadaten aus %1 Dateien entfernt.</translation>
    </message>
</context>
</TS>
