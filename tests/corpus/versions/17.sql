-- PostgreSQL 17 on: the MAINTAIN privilege, identity columns on a
-- partitioned table, a domain's named NOT NULL constraint.
GRANT MAINTAIN ON app.other TO vpg_md5;
GRANT SELECT, MAINTAIN ON app.animal TO vpg_scram WITH GRANT OPTION;
CREATE TABLE app.stamped (id bigint GENERATED ALWAYS AS IDENTITY (START WITH 50), at date NOT NULL)
  PARTITION BY RANGE (at);
CREATE TABLE app.stamped_2024 PARTITION OF app.stamped
  FOR VALUES FROM ('2024-01-01') TO ('2025-01-01');
INSERT INTO app.stamped (at) VALUES ('2024-02-02'), ('2024-03-03');
CREATE DOMAIN app.required_text AS text CONSTRAINT required_text_given NOT NULL;
CREATE TABLE app.required_notes (body app.required_text);
INSERT INTO app.required_notes VALUES ('hello');
