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
    <message>
        <source>No metadata to remove; %1 already clean.</source>
        <extracomment>Status line after a run that left every file alone: none carried metadata. %1 is the number of files.</extracomment>
        <translation>Keine Metadaten zu entfernen; %1 bereits sauber.</translation>
    </message>
    <message>
        <source>Stripped 1 file, %1 of metadata removed; %2 already clean.</source>
        <extracomment>Status line after a run. %1 is a size, such as &quot;3.4 MB&quot;; %2 the number of files that carried no metadata and were left as they were.</extracomment>
        <translation>%1 Metadaten aus 1 Datei entfernt; %2 bereits sauber.</translation>
    </message>
    <message>
        <source>Stripped %1 files, %2 of metadata removed; %3 already clean.</source>
        <extracomment>Status line after a run. %1 is the number of files, %2 a size, such as &quot;3.4 MB&quot;; %3 the number of files that carried no metadata and were left as they were.</extracomment>
        <translation>%2 Metadaten aus %1 Dateien entfernt; %3 bereits sauber.</translation>
    </message>
</context>
<context>
    <name>OperationsArrayController</name>
    <message>
        <source>Checking…</source>
        <extracomment>The metadata column of a file not inspected yet.</extracomment>
        <translation>Wird geprüft …</translation>
    </message>
    <message>
        <source>Cannot read</source>
        <extracomment>The metadata column of a file that is not readable as audio.</extracomment>
        <translation>Nicht lesbar</translation>
    </message>
    <message>
        <source>1 tag</source>
        <translation>1 Tag</translation>
    </message>
    <message>
        <source>%1 tags</source>
        <translation>%1 Tags</translation>
    </message>
    <message>
        <source>cover %1</source>
        <extracomment>The size of the file&apos;s cover art, such as &quot;412 kB&quot;.</extracomment>
        <translation>Cover %1</translation>
    </message>
    <message>
        <source>%1 covers %2</source>
        <extracomment>%1 pictures of %2 bytes together, such as &quot;3 covers 1.2 MB&quot;.</extracomment>
        <translation>%1 Cover %2</translation>
    </message>
    <message>
        <source>1 chapter</source>
        <translation>1 Kapitel</translation>
    </message>
    <message>
        <source>%1 chapters</source>
        <translation>%1 Kapitel</translation>
    </message>
    <message>
        <source>%1 of other metadata</source>
        <extracomment>Metadata other than tags, covers and chapters, such as extra chunks; %1 a size.</extracomment>
        <translation>%1 weitere Metadaten</translation>
    </message>
    <message>
        <source>No metadata</source>
        <translation>Keine Metadaten</translation>
    </message>
    <message>
        <source>Metadata</source>
        <extracomment>The title of the list&apos;s second column, what each file carries.</extracomment>
        <translation>Metadaten</translation>
    </message>
    <message>
        <source>1 item kept</source>
        <extracomment>Metadata stored inside the audio stream, which a strip cannot remove without changing the audio.</extracomment>
        <translation>1 Eintrag bleibt erhalten</translation>
    </message>
    <message>
        <source>%1 items kept</source>
        <translation>%1 Einträge bleiben erhalten</translation>
    </message>
</context>
<context>
    <name>cleftone::FileTable</name>
    <message>
        <source>Files to strip</source>
        <translation>Zu bereinigende Dateien</translation>
    </message>
    <message>
        <source>The files a strip run works on, with the metadata each carries. Press Space to show the metadata of the current file.</source>
        <translation>Die Dateien, die ein Durchlauf bereinigt, mit den Metadaten jeder Datei. Die Leertaste zeigt die Metadaten der aktuellen Datei.</translation>
    </message>
    <message>
        <source>What a run would do</source>
        <translation>Was ein Durchlauf tun würde</translation>
    </message>
    <message>
        <source>&amp;Sort By</source>
        <translation>&amp;Sortieren nach</translation>
    </message>
    <message>
        <source>&amp;Order Added</source>
        <translation>Reihenfolge beim &amp;Hinzufügen</translation>
    </message>
    <message>
        <source>&amp;Name</source>
        <translation>&amp;Name</translation>
    </message>
    <message>
        <source>&amp;Folder</source>
        <translation>&amp;Ordner</translation>
    </message>
    <message>
        <source>&amp;Metadata Size</source>
        <translation>&amp;Größe der Metadaten</translation>
    </message>
    <message>
        <source>1 file, %1 of metadata found so far</source>
        <extracomment>Status line while the files&apos; metadata is still being read; %1 a size.</extracomment>
        <translation>1 Datei, bisher %1 Metadaten gefunden</translation>
    </message>
    <message>
        <source>%1 files, %2 of metadata found so far</source>
        <extracomment>Status line while the files&apos; metadata is still being read; %1 the number of files, %2 a size.</extracomment>
        <translation>%1 Dateien, bisher %2 Metadaten gefunden</translation>
    </message>
    <message>
        <source>1 file, no metadata to remove</source>
        <translation>1 Datei, keine Metadaten zu entfernen</translation>
    </message>
    <message>
        <source>%1 files, no metadata to remove</source>
        <translation>%1 Dateien, keine Metadaten zu entfernen</translation>
    </message>
    <message>
        <source>1 file, %1 of metadata to remove</source>
        <extracomment>Status line before a run; %1 a size, such as &quot;3.4 MB&quot;.</extracomment>
        <translation>1 Datei, %1 Metadaten zu entfernen</translation>
    </message>
    <message>
        <source>%1 files, %2 of metadata to remove</source>
        <extracomment>Status line before a run; %1 the number of files, %2 a size, such as &quot;3.4 MB&quot;.</extracomment>
        <translation>%1 Dateien, %2 Metadaten zu entfernen</translation>
    </message>
</context>
<context>
    <name>cleftone::LeftOutReport</name>
    <message>
        <source>Show Files…</source>
        <translation>Dateien anzeigen …</translation>
    </message>
    <message>
        <source>Lists the files that were left out, with their kind</source>
        <translation>Listet die ausgelassenen Dateien mit ihrer Art auf</translation>
    </message>
    <message>
        <source>Left out 1 audio file that Cleftone cannot strip.</source>
        <translation>1 Audiodatei ausgelassen, die Cleftone nicht bereinigen kann.</translation>
    </message>
    <message>
        <source>Left out %1 audio files that Cleftone cannot strip.</source>
        <translation>%1 Audiodateien ausgelassen, die Cleftone nicht bereinigen kann.</translation>
    </message>
    <message>
        <source>Files Left Out</source>
        <translation>Ausgelassene Dateien</translation>
    </message>
    <message>
        <source>These files were not added: they hold audio or video in a format that Cleftone cannot strip.</source>
        <translation>Diese Dateien wurden nicht hinzugefügt: Sie enthalten Audio oder Video in einem Format, das Cleftone nicht bereinigen kann.</translation>
    </message>
    <message>
        <source>Files left out</source>
        <translation>Ausgelassene Dateien</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Datei</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>Grund</translation>
    </message>
    <message>
        <source>Cleftone cannot strip this format</source>
        <extracomment>Why a file was left out: %1 is what it holds, such as &quot;MIDI audio&quot;.</extracomment>
        <translation>Cleftone kann dieses Format nicht bereinigen</translation>
    </message>
    <message>
        <source>%1: Cleftone cannot strip this format</source>
        <translation>%1: Cleftone kann dieses Format nicht bereinigen</translation>
    </message>
</context>
<context>
    <name>cleftone::MetadataInspector</name>
    <message>
        <source>Metadata</source>
        <translation>Metadaten</translation>
    </message>
    <message>
        <source>Metadata inspector</source>
        <translation>Metadaten-Inspektor</translation>
    </message>
    <message>
        <source>Cover art</source>
        <translation>Cover</translation>
    </message>
    <message>
        <source>About the cover art</source>
        <translation>Über das Cover</translation>
    </message>
    <message>
        <source>Item</source>
        <translation>Eintrag</translation>
    </message>
    <message>
        <source>Value</source>
        <translation>Wert</translation>
    </message>
    <message>
        <source>Metadata of the file</source>
        <translation>Metadaten der Datei</translation>
    </message>
    <message>
        <source>Metadata in all</source>
        <translation>Metadaten insgesamt</translation>
    </message>
    <message>
        <source>Show &amp;Metadata</source>
        <extracomment>View menu item; Space on the list does the same.</extracomment>
        <translation>&amp;Metadaten anzeigen</translation>
    </message>
    <message>
        <source>No File Selected</source>
        <translation>Keine Datei ausgewählt</translation>
    </message>
    <message>
        <source>Select a file in the list to see its metadata.</source>
        <translation>Wählen Sie eine Datei in der Liste, um ihre Metadaten zu sehen.</translation>
    </message>
    <message>
        <source>Reading…</source>
        <translation>Wird gelesen …</translation>
    </message>
    <message>
        <source>This file cannot be read as audio.</source>
        <translation>Diese Datei kann nicht als Audio gelesen werden.</translation>
    </message>
    <message>
        <source>%1 file, %2 audio</source>
        <extracomment>Under the file&apos;s name: its container and the codec of its audio, such as &quot;MP3 file, mp3 audio&quot;.</extracomment>
        <translation>%1-Datei, %2-Audio</translation>
    </message>
    <message>
        <source>No metadata</source>
        <translation>Keine Metadaten</translation>
    </message>
    <message>
        <source>Tags</source>
        <translation>Tags</translation>
    </message>
    <message>
        <source>Cover Art</source>
        <translation>Cover</translation>
    </message>
    <message>
        <source>%1 image, %2, %3 × %4 pixels</source>
        <extracomment>A picture in the file: %1 its format (&quot;JPEG&quot;), %2 its size, %3 and %4 its width and height in pixels.</extracomment>
        <translation>%1-Bild, %2, %3 × %4 Pixel</translation>
    </message>
    <message>
        <source>Chapters</source>
        <translation>Kapitel</translation>
    </message>
    <message>
        <source>Other Metadata</source>
        <translation>Weitere Metadaten</translation>
    </message>
    <message>
        <source>Chunk “%1”</source>
        <translation>Chunk „%1“</translation>
    </message>
    <message>
        <source>Box %1</source>
        <translation>Box %1</translation>
    </message>
    <message>
        <source>FLAC block %1</source>
        <translation>FLAC-Block %1</translation>
    </message>
    <message>
        <source>%1 in front</source>
        <translation>%1 am Anfang</translation>
    </message>
    <message>
        <source>%1 at the end</source>
        <translation>%1 am Ende</translation>
    </message>
    <message>
        <source>Annotation</source>
        <translation>Anmerkung</translation>
    </message>
    <message>
        <source>Other stream: %1</source>
        <translation>Weiterer Datenstrom: %1</translation>
    </message>
    <message>
        <source>size unknown</source>
        <translation>Größe unbekannt</translation>
    </message>
    <message>
        <source>Metadata in all: %1</source>
        <extracomment>Under the inspector&apos;s list: the bytes a strip removes from the file, such as &quot;412 kB&quot;.</extracomment>
        <translation>Metadaten insgesamt: %1</translation>
    </message>
    <message>
        <source>Element %1</source>
        <translation>Element %1</translation>
    </message>
    <message>
        <source>Object %1</source>
        <translation>Objekt %1</translation>
    </message>
    <message>
        <source>Other bytes at the end</source>
        <translation>Weitere Bytes am Ende</translation>
    </message>
    <message>
        <source>Comment header: %1</source>
        <translation>Kommentar-Header: %1</translation>
    </message>
    <message>
        <source>Data after the comments: %1</source>
        <translation>Daten nach den Kommentaren: %1</translation>
    </message>
    <message>
        <source>Chunk “%1” stored in the stream</source>
        <translation>Im Datenstrom gespeicherter Chunk „%1“</translation>
    </message>
    <message>
        <source>Kept</source>
        <extracomment>Metadata stored inside the audio stream, which a strip cannot remove without changing the audio.</extracomment>
        <translation>Bleibt erhalten</translation>
    </message>
    <message>
        <source>WAV metadata</source>
        <translation>WAV-Metadaten</translation>
    </message>
</context>
<context>
    <name>cleftone::SettingsWindowController</name>
    <message>
        <source>Settings</source>
        <translation>Einstellungen</translation>
    </message>
    <message>
        <source>Move originals to the Trash</source>
        <translation>Originale in den Papierkorb verschieben</translation>
    </message>
    <message>
        <source>Before a file is replaced by its stripped copy, the original is put in the Trash, from where it can be restored.</source>
        <translation>Bevor eine Datei durch ihre bereinigte Kopie ersetzt wird, kommt das Original in den Papierkorb, aus dem es wiederhergestellt werden kann.</translation>
    </message>
    <message>
        <source>Leave files without metadata untouched</source>
        <translation>Dateien ohne Metadaten unverändert lassen</translation>
    </message>
    <message>
        <source>A file that carries no metadata is not rewritten, so its dates stay as they were. MP3 files whose frames need repair are still rewritten.</source>
        <translation>Eine Datei ohne Metadaten wird nicht neu geschrieben, ihre Zeitstempel bleiben also erhalten. MP3-Dateien, deren Frames repariert werden müssen, werden dennoch neu geschrieben.</translation>
    </message>
    <message>
        <source>Don&apos;t warn me about video files</source>
        <translation>Nicht vor Videodateien warnen</translation>
    </message>
    <message>
        <source>If you process a video file, Cleftone will remove the video and keep only the audio.</source>
        <translation>Wenn Sie eine Videodatei bearbeiten, entfernt Cleftone das Video und behält nur den Ton.</translation>
    </message>
    <message>
        <source>Check for updates automatically</source>
        <translation>Automatisch nach Updates suchen</translation>
    </message>
    <message>
        <source>Cleftone asks its update server once a day whether a newer version is available.</source>
        <translation>Cleftone fragt einmal am Tag beim Update-Server nach, ob eine neuere Version verfügbar ist.</translation>
    </message>
</context>
</TS>
