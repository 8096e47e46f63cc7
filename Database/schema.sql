-- The platform tables and views that strmd reads and writes.
--
-- strmd reads every table with a positional "select *" and inserts with every
-- column listed in order, so the order, count and kind of the columns below
-- are what the server depends on; Database/kestravon6_def.h holds the same
-- layout on the server's side. Integer columns are INT, 64-bit ones BIGINT,
-- text and date-time columns may hold NULL.
--
-- The server must run with lower_case_table_names=1: statements name the
-- same table as both Object and object.

create table UserEnrollment (
  id int not null auto_increment primary key,
  userid int not null default 0,
  roleid int not null default 0,
  key (userid)
) engine=InnoDB default charset=utf8mb4;

create table CourseEnrollment (
  id int not null auto_increment primary key,
  userid int not null default 0,
  roleid int not null default 0,
  objectid int not null default 0,
  groupid int not null default 0,
  status int not null default 0,
  progress int not null default 0,
  enrolled datetime null,
  comment varchar(255) null,
  completed int not null default 0,
  key (objectid)
) engine=InnoDB default charset=utf8mb4;

create table User (
  id int not null auto_increment primary key,
  usertype int not null default 0,
  name varchar(255) null,
  logon varchar(255) null,
  password varchar(255) null,
  status int not null default 0,
  language int not null default 0,
  timezone int not null default 0,
  email varchar(255) null,
  firstname varchar(255) null,
  lastname varchar(255) null,
  phone varchar(64) null,
  folderid int not null default 0,
  avatarid int not null default 0,
  created datetime null,
  lastlogin datetime null,
  title varchar(255) null,
  quota int not null default 0,
  address varchar(255) null,
  city varchar(255) null,
  zip varchar(32) null,
  country varchar(64) null,
  company varchar(255) null,
  department varchar(255) null,
  website varchar(255) null,
  skype varchar(255) null,
  about text null,
  locale varchar(32) null,
  theme varchar(64) null,
  notes text null,
  token varchar(255) null,
  extra text null
) engine=InnoDB default charset=utf8mb4;

create table FolderImport (
  id int not null auto_increment primary key,
  name varchar(255) null,
  ownerid int not null default 0,
  parentid int not null default 0,
  status int not null default 0,
  subfolders int not null default 0,
  created datetime null,
  location varchar(1024) null,
  username varchar(255) null,
  password varchar(255) null,
  period int not null default 0
) engine=InnoDB default charset=utf8mb4;

create table TranscodeTemplate (
  id int not null auto_increment primary key,
  name varchar(255) null,
  isdefault int not null default 0,
  active int not null default 0,
  bitrate int not null default 0,
  width int not null default 0,
  audiocodec varchar(64) null,
  videocodec varchar(64) null,
  audiorate varchar(64) null,
  framerate varchar(64) null,
  height int not null default 0,
  container varchar(64) null,
  options varchar(1024) null,
  priority int not null default 0,
  description text null
) engine=InnoDB default charset=utf8mb4;

create table TranscodeObject (
  id int not null auto_increment primary key,
  fileid int not null default 0,
  templateid int not null default 0,
  status int not null default 0,
  filename varchar(255) null,
  progress int not null default 0,
  size bigint not null default 0,
  bitrate int not null default 0,
  message varchar(1024) null,
  key (fileid, templateid)
) engine=InnoDB default charset=utf8mb4;

create table Object (
  id int not null auto_increment primary key,
  name varchar(255) null,
  authorid int not null default 0,
  description text null,
  keywords varchar(1024) null,
  created datetime null,
  modified datetime null,
  storage int not null default 0,
  parentid int not null default 0,
  objecttype int not null default 0,
  parentlist varchar(1024) null,
  position int not null default 0,
  filesize bigint not null default 0,
  duration bigint not null default 0,
  scanstatus int not null default 0,
  status int not null default 0,
  visible int not null default 0,
  width int not null default 0,
  height int not null default 0,
  licence int not null default 0,
  mimetype varchar(255) null,
  folderimportid int not null default 0,
  views int not null default 0,
  rating int not null default 0,
  deleted int not null default 0,
  locked int not null default 0,
  groupid int not null default 0,
  pathname varchar(1024) null,
  version int not null default 0,
  language varchar(32) null,
  checksum varchar(64) null,
  sortorder int not null default 0,
  flags int not null default 0,
  key (parentid, authorid)
) engine=InnoDB default charset=utf8mb4;

-- The media details of an Object that holds a file; VFile shows them after
-- the object's own columns.
create table FileDetail (
  objectid int not null primary key,
  audiochannels int not null default 0,
  samplerate int not null default 0,
  fileformat varchar(64) null,
  bitrate int not null default 0,
  videowidth int not null default 0,
  videoheight int not null default 0,
  audiocodec varchar(64) null,
  videocodec varchar(64) null,
  framecount int not null default 0,
  keyframes int not null default 0,
  thumbnail varchar(1024) null,
  preview varchar(1024) null,
  originalname varchar(1024) null,
  metadata text null,
  masterid int not null default 0,
  pages int not null default 0
) engine=InnoDB default charset=utf8mb4;

-- The course details of an Object that is a course.
create table CourseDetail (
  objectid int not null primary key,
  coursetype int not null default 0,
  capacity int not null default 0,
  selfenrol int not null default 0,
  published int not null default 0,
  teacherid int not null default 0,
  chatenabled int not null default 0,
  recordingid int not null default 0,
  liveenabled int not null default 0,
  days int not null default 0,
  starts datetime null,
  ends datetime null
) engine=InnoDB default charset=utf8mb4;

-- Every object can be played, so every object is a VFile; an object without
-- details shows them as NULL (0 for the integers as the server reads them).
create view VFile as
  select o.*, d.audiochannels, d.samplerate, d.fileformat, d.bitrate,
         d.videowidth, d.videoheight, d.audiocodec, d.videocodec, d.framecount,
         d.keyframes, d.thumbnail, d.preview, d.originalname, d.metadata,
         d.masterid, d.pages
  from Object o left join FileDetail d on d.objectid = o.id;

-- Only courses are courses: a room must not be built for a folder.
create view VCourse as
  select o.*, c.coursetype, c.capacity, c.selfenrol, c.published, c.teacherid,
         c.chatenabled, c.recordingid, c.liveenabled, c.days, c.starts, c.ends
  from Object o join CourseDetail c on c.objectid = o.id;

create table Session (
  id int not null auto_increment primary key,
  userid int not null default 0,
  status int not null default 0,
  started int not null default 0,
  lastseen int not null default 0,
  ip varchar(64) null,
  objectid int not null default 0,
  duration int not null default 0,
  phpsessid varchar(255) null,
  useragent varchar(1024) null,
  logins int not null default 0,
  flags int not null default 0,
  created datetime null,
  expired int not null default 0,
  key (phpsessid)
) engine=InnoDB default charset=utf8mb4;

create table FileSession (
  id int not null auto_increment primary key,
  sessionid int not null default 0,
  fileid int not null default 0,
  userid int not null default 0,
  started datetime null,
  duration int not null default 0,
  status int not null default 0,
  key (sessionid, fileid, userid)
) engine=InnoDB default charset=utf8mb4;

create table RecordSession (
  id int not null auto_increment primary key,
  sessionid int not null default 0,
  fileid int not null default 0,
  userid int not null default 0,
  started datetime null,
  duration int not null default 0,
  status int not null default 0,
  key (sessionid, fileid, userid)
) engine=InnoDB default charset=utf8mb4;

create table Chat (
  id int not null auto_increment primary key,
  chattype int not null default 0,
  name varchar(255) null
) engine=InnoDB default charset=utf8mb4;

create table ChatUser (
  id int not null auto_increment primary key,
  chatid int not null default 0,
  userid int not null default 0,
  status int not null default 0,
  roleid int not null default 0,
  joined datetime null,
  key (chatid),
  key (userid)
) engine=InnoDB default charset=utf8mb4;

create table ChatTextLog (
  id int not null auto_increment primary key,
  chatid int not null default 0,
  courseid int not null default 0,
  userid int not null default 0,
  clientnumber int not null default 0,
  sent datetime null,
  message text null,
  key (chatid, courseid, sent)
) engine=InnoDB default charset=utf8mb4;
