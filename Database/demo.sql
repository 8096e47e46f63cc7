-- Demo data: a small site with a teacher, two students and a guest, a
-- playable FLV, a video that only plays through its renditions, a course with
-- a live room, and chats. Load after schema.sql into an empty database.
--
-- Files the demo expects in the site's folders:
--   files/demo.flv        the media of object 200
--   files/Upper.FLV       the media of object 203 (optional)
--   cache/201-1.flv       ready rendition of object 201, template 1 (optional)
--   cache/201-2.flv       ready rendition of object 201, template 2 (optional)

-- Users 1-4. Web sessions use the phpsessid texts below.
insert into User (id, usertype, name, logon, password, status, email, folderid, created) values
  (1, 1, 'Ada Teacher', 'ada', '', 1, 'ada@example.com', 100, '2026-01-05 09:00:00'),
  (2, 2, 'Ben Student', 'ben', '', 1, 'ben@example.com', 101, '2026-01-05 09:10:00'),
  (3, 2, 'Cleo Student', 'cleo', '', 1, 'cleo@example.com', 102, '2026-01-05 09:20:00'),
  (4, 3, 'Dan Guest', null, '', 1, null, 0, '2026-01-05 09:30:00');

insert into Session (id, userid, status, started, lastseen, ip, phpsessid, created) values
  (1, 1, 1, 1767603600, 1767603600, '127.0.0.1', 'demo-ada-0001', '2026-01-05 09:00:00'),
  (2, 2, 1, 1767604200, 1767604200, '127.0.0.1', 'demo-ben-0002', '2026-01-05 09:10:00'),
  (3, 3, 1, 1767604800, 1767604800, '127.0.0.1', 'demo-cleo-0003', '2026-01-05 09:20:00'),
  (4, 4, 1, 1767605400, 1767605400, '127.0.0.1', 'demo-dan-0004', '2026-01-05 09:30:00'),
  -- a session whose user does not exist
  (5, 99, 1, 1767606000, 1767606000, '127.0.0.1', 'demo-nouser-0005', '2026-01-05 09:40:00');

-- Ada may enter the open room as a member of staff (role 10 there); Ben has a
-- role outside (1, 2, 10, 15), so he enters it with role 50.
insert into UserEnrollment (id, userid, roleid) values
  (1, 1, 1),
  (2, 2, 30);

-- Personal folders 100-102, media 200-205, course 300 with its recordings
-- folder 301 and Ben's recording 302 in it.
insert into Object (id, name, authorid, storage, parentid, objecttype, parentlist, pathname, mimetype, folderimportid, created) values
  (100, 'Ada''s folder', 1, 0, 0, 1, '', null, null, 0, '2026-01-05 09:00:00'),
  (101, 'Ben''s folder', 2, 0, 0, 1, '', null, null, 0, '2026-01-05 09:10:00'),
  (102, 'Cleo''s folder', 3, 0, 0, 1, '', null, null, 0, '2026-01-05 09:20:00'),
  (200, 'Demo clip', 1, 1, 100, 2, '100', 'demo.flv', 'video/x-flv', 0, '2026-01-06 10:00:00'),
  (201, 'Lecture video', 1, 1, 100, 2, '100', 'lecture.mp4', 'video/mp4', 0, '2026-01-06 10:05:00'),
  (202, 'Slides walkthrough', 1, 1, 100, 2, '100', 'slides.avi', 'video/x-msvideo', 0, '2026-01-06 10:10:00'),
  (203, 'Upper-case clip', 1, 1, 100, 2, '100', 'Upper.FLV', 'video/x-flv', 0, '2026-01-06 10:15:00'),
  (204, 'Imported clip', 1, 1, 100, 2, '100', 'imported.flv', 'video/x-flv', 1, '2026-01-06 10:20:00'),
  (205, 'Web import clip', 1, 1, 100, 2, '100', 'remote.flv', 'video/x-flv', 2, '2026-01-06 10:25:00'),
  (300, 'Demo course', 1, 0, 100, 3, '100', null, null, 0, '2026-01-07 08:00:00'),
  (301, 'Demo course recordings', 1, 0, 300, 1, '100,300', null, null, 0, '2026-01-07 08:00:00'),
  (302, 'Ben''s recording', 2, 1, 301, 2, '100,300,301', '302.flv', 'video/x-flv', 0, '2026-01-07 08:30:00');

update Object set filesize = 3000000000, duration = 5400000 where id = 201;

insert into FileDetail (objectid, fileformat, bitrate, videowidth, videoheight, audiocodec, videocodec, originalname, masterid) values
  (200, 'flv', 500, 320, 240, 'speex', 'h264', 'demo.flv', 200),
  (201, 'mp4', 2500, 1280, 720, 'aac', 'h264', 'lecture.mp4', 201),
  (202, 'avi', 1800, 1024, 768, 'mp3', 'mpeg4', 'slides.avi', 202),
  (203, 'flv', 400, 320, 240, 'speex', 'h264', 'Upper.FLV', 203),
  (302, 'flv', 300, 320, 240, 'speex', 'h264', '302.flv', 302);

insert into CourseDetail (objectid, coursetype, capacity, published, teacherid, chatenabled, recordingid, liveenabled) values
  (300, 1, 30, 1, 1, 1, 301, 1);

-- Ada teaches the course (role 3), Ben and Cleo attend it (role 5).
insert into CourseEnrollment (id, userid, roleid, objectid, status, enrolled) values
  (1, 1, 3, 300, 1, '2026-01-07 08:00:00'),
  (2, 2, 5, 300, 1, '2026-01-07 08:01:00'),
  (3, 3, 5, 300, 1, '2026-01-07 08:02:00');

insert into FolderImport (id, name, ownerid, parentid, status, location) values
  (1, 'Archive import', 1, 100, 1, '/srv/kestravon/import'),
  (2, 'Web import', 1, 100, 1, 'http://media.example.com/clips');

-- Template 1 is the active one; 2 and 3 exist but are not active.
insert into TranscodeTemplate (id, name, isdefault, active, bitrate, width, audiocodec, videocodec, height, container) values
  (1, 'Standard', 1, 1, 800, 640, 'aac', 'h264', 360, 'flv'),
  (2, 'Low bandwidth', 0, 0, 300, 320, 'mp3', 'h264', 180, 'flv'),
  (3, 'Audio only', 0, 0, 64, 0, 'mp3', '', 0, 'flv');

-- Object 201 has two ready renditions and one still scheduled; the first is
-- larger than 2 GiB.
insert into TranscodeObject (id, fileid, templateid, status, filename, progress, size, bitrate, message) values
  (1, 201, 1, 3, '201-1.flv', 100, 3000000000, 800, 'Ready.'),
  (2, 201, 2, 3, '201-2.flv', 100, 1500000, 300, 'Ready.'),
  (3, 201, 3, 5, '201-3.flv', 0, 0, 0, 'Scheduled for processing.');

-- Chat 1 is a study group of all three; chat 2 the private chat of Ben and
-- Cleo (type 0, no name, two members of role 10).
insert into Chat (id, chattype, name) values
  (1, 1, 'Study group'),
  (2, 0, '');

insert into ChatUser (id, chatid, userid, status, roleid, joined) values
  (1, 1, 1, 0, 1, '2026-01-08 12:00:00'),
  (2, 1, 2, 0, 10, '2026-01-08 12:00:00'),
  (3, 1, 3, 0, 10, '2026-01-08 12:00:00'),
  (4, 2, 2, 0, 10, '2026-01-08 12:30:00'),
  (5, 2, 3, 0, 10, '2026-01-08 12:30:00');

insert into ChatTextLog (id, chatid, courseid, userid, clientnumber, sent, message) values
  (1, 1, 0, 1, 1, '2026-01-08 12:01:00', 'Welcome to the study group.'),
  (2, 1, 0, 2, 2, '2026-01-08 12:02:00', 'Thanks!'),
  (3, 0, 300, 1, 1, '2026-01-08 13:00:00', 'The course room is open.');

-- One finished viewing, so that a fresh play of object 200 opens a new row.
insert into FileSession (id, sessionid, fileid, userid, started, duration, status) values
  (1, 2, 200, 2, '2026-01-09 10:00:00', 42, 2);
